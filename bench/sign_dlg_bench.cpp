// Opening the sign dialog's logic for an order of many rows: decoding,
// parsing, filling the key list, arranging the controls and showing the
// first screen of the virtual list, headless through the scripted view.
// Baseline in the same run: ParseOrderText alone over the same display copy.
#include <benchmark/benchmark.h>

#include <string>

#include "engine/encoding.h"
#include "engine/keys_storage.h"
#include "signing/order_text.h"
#include "signing/sign_dlg.h"
#include "tests/support/scripted_dialog.h"

namespace {

using namespace quenta;

std::string OrderText(int rows) {
  std::string text = "_ZLECENIE_|";
  for (int i = 0; i < rows - 1; ++i)
    text += std::to_string(i) + ":Pozycja " + std::to_string(i) + ":" + std::to_string(i * 7) +
            ",00 PLN|";
  return text;
}

std::string OrderHex(int rows) {
  const std::string text = OrderText(rows);
  std::string hex;
  HexEncode(reinterpret_cast<const unsigned char*>(text.data()), text.size(), hex);
  return hex;
}

void BM_OpenSignDialogLogic(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const std::string hex = OrderHex(rows);
  CKeysStorage engine;
  engine.SetKey("K1", "4D61696E", "4142", 0);
  int shown = 0;
  for (auto _ : state) {
    CSignDlg dialog;
    dialog.SetDataIsDirect(0);
    if (dialog.PrepareSignData(&engine, hex.c_str(), "|K1|", "K1") != 0) {
      state.SkipWithError("order did not decode");
      break;
    }
    dialog.SetOperation(kOpSignSha256);
    const DialogTemplate& t = dialog.PrepareTemplate();
    quenta_test::ScriptedDialog view(dialog, t);
    view.Start();  // OnInitDialog: parse, key list, layout
    // The first screen of the virtual list, as a window would draw it.
    for (int r = 0; r < 20; ++r)
      shown += static_cast<int>(view.CellText(CSignDlg::kIdOrderList, r, 1).size());
    view.ForceEnd(kIdcCancel);
    view.Finish();
  }
  benchmark::DoNotOptimize(shown);
  state.counters["rows"] = rows;
}
BENCHMARK(BM_OpenSignDialogLogic)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()->UseRealTime();

void BM_ParseOnlyBaseline(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const std::string text = OrderText(rows);
  const std::string display =
      IsoToWin1250(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  for (auto _ : state) {
    ParsedOrder parsed;
    ParseOrderText(display, parsed);
    benchmark::DoNotOptimize(parsed);
  }
  state.counters["rows"] = rows;
}
BENCHMARK(BM_ParseOnlyBaseline)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
