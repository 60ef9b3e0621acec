// Signing on a token: SoftHSM2 reached through CTokenAccess (the scripted
// PC/SC library of tests/doubles names the token's reader), against
// pkcs11-tool --sign making the same SHA-1 RSA PKCS#1 v1.5 signature with the
// same key, timed over N runs in the same process. pkcs11-tool is a new
// process each time; "pkcs11-tool --show-info" (load the module, initialise,
// list nothing) is timed as well, to show how much of its time that is.
// RSA 2048, key made by pkcs11-tool --keypairgen.
#include <benchmark/benchmark.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "engine/base_rsa.h"
#include "engine/token_access.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "bench/bench_collector.h"

using namespace quenta_test;

namespace {

const char kAtr[] = "3BFF9600008131FE4380318065B0846566FB12017882900085";
const char kLabel[] = "signing key";
const std::string kOrder(2048, 'x');

struct Env {
  SoftHsm hsm;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  MachineSettings settings;
  std::string digest;
  bool ok = false;
  std::string why;

  Env() {
    const std::string reader = hsm.InitToken("quenta", kPuk, kPin);
    if (reader.empty()) { why = "softhsm2-util --init-token"; return; }
    pcsc.AddReader(reader.c_str(), kAtr);
    settings.Write({std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + kSoftHsmModule,
                    std::string("Tokens[]=") + kAtr});
    std::string out;
    if (hsm.Tool(std::string("--login --pin ") + kPin +
                     " --keypairgen --key-type rsa:2048 --id 01 --label '" + kLabel + "'",
                 &out) != 0) { why = "keypairgen: " + out; return; }
    const std::string der = hsm.File("pub.der");
    hsm.Tool("--read-object --type pubkey --id 01 -o " + der);
    std::ifstream in(der, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    EVP_PKEY* pub = d2i_PUBKEY(nullptr, &p, static_cast<long>(bytes.size()));
    if (!pub) { why = "public key"; return; }
    digest = quenta::CBaseRSA::TokenDigest(pub);
    EVP_PKEY_free(pub);
    std::ofstream(hsm.File("data"), std::ios::binary) << kOrder;
    ok = true;
  }
};

Env* env = nullptr;

// The device opened once; each run is one TokenOperation (op 3).
void BM_TokenAccess(benchmark::State& state) {
  quenta::CTokenAccess token;
  unsigned long slot = 0;
  if (token.OpenDevice(quenta::kDeviceUsbToken, &slot) != 0) {
    state.SkipWithError("OpenDevice failed");
    return;
  }
  quenta::SecureBytes sig;
  for (auto _ : state) {
    if (token.TokenOperation(kLabel, env->digest.c_str(), kPin,
                             reinterpret_cast<const unsigned char*>(kOrder.data()), kOrder.size(),
                             3, sig) != 0) {
      state.SkipWithError("TokenOperation failed");
      return;
    }
    benchmark::DoNotOptimize(sig.data());
  }
}

// Each run opens the device (PC/SC, module load, C_Initialize, session),
// signs and closes it again, as pkcs11-tool must.
void BM_TokenAccessCold(benchmark::State& state) {
  quenta::SecureBytes sig;
  for (auto _ : state) {
    quenta::CTokenAccess token;
    unsigned long slot = 0;
    if (token.OpenDevice(quenta::kDeviceUsbToken, &slot) != 0 ||
        token.TokenOperation(kLabel, env->digest.c_str(), kPin,
                             reinterpret_cast<const unsigned char*>(kOrder.data()), kOrder.size(),
                             3, sig) != 0) {
      state.SkipWithError("open or sign failed");
      return;
    }
    token.CloseSession();
    token.ReleaseModule();
    benchmark::DoNotOptimize(sig.data());
  }
}

double ToolMs(const std::string& args, int runs) {
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i)
    if (env->hsm.Tool(args) != 0) return -1;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() /
         runs;
}


}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<Env> e(new Env);
  env = e.get();
  if (!env->ok) {
    std::printf("Summary: token set-up failed (%s)\n", env->why.c_str());
    return 1;
  }
  benchmark::RegisterBenchmark("Token/CTokenAccess-open", BM_TokenAccess)
      ->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("Token/CTokenAccess-cold", BM_TokenAccessCold)
      ->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quenta_bench::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  const int runs = 20;
  const double sign = ToolMs(std::string("--login --pin ") + kPin +
                                 " --sign -m SHA1-RSA-PKCS --id 01 -i " + env->hsm.File("data") +
                                 " -o " + env->hsm.File("sig"),
                             runs);
  const double info = ToolMs("--show-info", runs);
  // PKCS#1 v1.5 signatures are deterministic: both must give the same bytes.
  bool same = false;
  {
    quenta::CTokenAccess token;
    unsigned long slot = 0;
    quenta::SecureBytes sig;
    std::ifstream in(env->hsm.File("sig"), std::ios::binary);
    std::string tool((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    same = token.OpenDevice(quenta::kDeviceUsbToken, &slot) == 0 &&
           token.TokenOperation(kLabel, env->digest.c_str(), kPin,
                                reinterpret_cast<const unsigned char*>(kOrder.data()),
                                kOrder.size(), 3, sig) == 0 &&
           tool == std::string(sig.begin(), sig.end());
  }
  std::printf("\nSummary: wall time per signature, SoftHSM2, RSA 2048, SHA-1, 2 KB order\n");
  auto open = collector.times.find("Token/CTokenAccess-open");
  auto cold = collector.times.find("Token/CTokenAccess-cold");
  if (open != collector.times.end() && cold != collector.times.end())
    std::printf("CTokenAccess, device open %.3f ms; opening and closing it each time %.3f ms\n",
                open->second / 1e6, cold->second / 1e6);
  std::printf("pkcs11-tool --sign %.3f ms; pkcs11-tool --show-info %.3f ms (%d runs each)\n",
              sign, info, runs);
  std::printf("same signature from both: %s\n", same ? "yes" : "NO");
  if (open != collector.times.end() && cold != collector.times.end() && sign > 0)
    std::printf("ratio open / pkcs11-tool %.3fx; cold / pkcs11-tool %.3fx\n",
                open->second / 1e6 / sign, cold->second / 1e6 / sign);
  benchmark::Shutdown();
  return 0;
}
