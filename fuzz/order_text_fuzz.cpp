// ParseOrderText on an arbitrary display copy: every row lies inside the
// shown text, results match the mode, and, for inputs small enough for the
// plain transcription of the rules, the results are the same as its.
// COrderText keeps the bytes it was given unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/order_text_reference.h"
#include "signing/order_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string display(reinterpret_cast<const char*>(data), size);
  quenta::ParsedOrder parsed;
  FUZZ_CHECK(quenta::ParseOrderText(display, parsed) == 0);

  const std::size_t shown = std::strlen(display.c_str());
  const std::size_t cap = size < quenta::kOrderValueCapMax ? size : quenta::kOrderValueCapMax;
  if (parsed.mode == quenta::OrderMode::kMultiLine) FUZZ_CHECK(parsed.rows.empty());
  else FUZZ_CHECK(parsed.formatted.empty());
  int orders = 0;
  for (const quenta::OrderRow& row : parsed.rows) {
    FUZZ_CHECK(row.valueOffset <= shown && row.valueLength <= shown - row.valueOffset);
    FUZZ_CHECK(row.valueLength < cap);
    if (row.kind == quenta::OrderRow::kField) {
      FUZZ_CHECK(row.parameterLength <= quenta::kOrderLabelMax);
      FUZZ_CHECK(row.parameter <= shown && row.parameterLength <= shown - row.parameter);
    }
    if (row.kind == quenta::OrderRow::kOrderMarker)
      FUZZ_CHECK(static_cast<int>(row.parameter) == ++orders);
  }

  if (size <= 4096) {
    const quenta_reference::Order expected = quenta_reference::Parse(display);
    FUZZ_CHECK((parsed.mode == quenta::OrderMode::kMultiLine) == expected.multiLine);
    FUZZ_CHECK(parsed.rows.size() == expected.rows.size());
    for (std::size_t i = 0; i < parsed.rows.size(); ++i) {
      FUZZ_CHECK(quenta::OrderRowParameter(display, parsed.rows[i]) == expected.rows[i].first);
      FUZZ_CHECK(quenta::OrderRowValue(display, parsed.rows[i]) == expected.rows[i].second);
    }
    FUZZ_CHECK(parsed.formatted == expected.formatted);
    FUZZ_CHECK(parsed.orderCount == expected.orderCount);
  }

  quenta::COrderText order;
  if (size == 0) {
    FUZZ_CHECK(order.SetBytes(data, size) == 1);
    return 0;
  }
  FUZZ_CHECK(order.SetBytes(data, size) == 0);
  FUZZ_CHECK(order.BuildDisplay() == 0);
  FUZZ_CHECK(order.Length() == size && std::memcmp(order.Bytes(), data, size) == 0);
  FUZZ_CHECK(order.Bytes()[size] == 0);
  FUZZ_CHECK(order.DisplayCopy().size() == size);
  return 0;
}
