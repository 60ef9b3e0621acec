// Signing with a software key (kind 0, the system's own key format) through
// the key store, as the page's Sign2 call does it: SelectKey, UseKey with
// operation 3 (SHA-1 signature) and the password given, no asking, then
// ReleaseKey. Against it, measured in the same run: the same OpenSSL calls
// made directly on the same key blob (PKCS12_key_gen_asc for key and IV,
// DES-EDE3-CBC decryption, d2i of the RSAPrivateKey, SHA-1 and an RSA
// PKCS#1 v1.5 signature with EVP_PKEY_sign). RSA 2048. The summary gives the
// ratio key store / direct.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/base_rsa.h"
#include "engine/encoding.h"
#include "engine/keys_storage.h"
#include "bench/bench_collector.h"

namespace {

const char kPassword[] = "Haslo-1234";
const std::string kOrder(2048, 'x');  // the signed text: a 2 KB order

struct Fixture {
  EVP_PKEY* key = nullptr;
  std::string armourHex;            // what the page hands to SetKey
  std::vector<unsigned char> blob;  // salt, length, ciphertext
  std::vector<unsigned char> expected;  // the signature both paths must give
};

Fixture& Get() {
  static Fixture f;
  if (f.key) return f;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY_keygen_init(ctx);
  EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048);
  EVP_PKEY_generate(ctx, &f.key);
  EVP_PKEY_CTX_free(ctx);
  std::string armour;
  if (quenta::CBaseRSA::WrapOwnFormat(f.key, kPassword, armour) != 0) std::abort();
  quenta::HexEncode(reinterpret_cast<const unsigned char*>(armour.data()), armour.size(),
                    f.armourHex);
  // The blob: the base64 lines between the armour lines.
  std::string b64;
  std::size_t begin = armour.find('\n') + 1;
  std::size_t end = armour.find("-----END");
  for (std::size_t i = begin; i < end; ++i)
    if (armour[i] != '\n' && armour[i] != '\r') b64 += armour[i];
  f.blob.resize(b64.size());
  int n = EVP_DecodeBlock(f.blob.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                          static_cast<int>(b64.size()));
  while (!b64.empty() && b64.back() == '=') { b64.pop_back(); --n; }
  f.blob.resize(static_cast<std::size_t>(n));
  return f;
}

// The direct path, from the blob to the signature.
bool Direct(const std::vector<unsigned char>& blob, std::vector<unsigned char>& signature) {
  static const unsigned char kMask[8] = {0x5A, 0x3C, 0x96, 0xE1, 0x0F, 0x78, 0xC3, 0x2D};
  unsigned char salt[8], key[24], iv[8];
  for (int i = 0; i < 8; ++i) salt[i] = blob[i] ^ kMask[i];
  const int pwLength = static_cast<int>(std::strlen(kPassword));
  if (PKCS12_key_gen_asc(kPassword, pwLength, salt, 8, PKCS12_KEY_ID, 1024, 24, key,
                         EVP_sha1()) != 1 ||
      PKCS12_key_gen_asc(kPassword, pwLength, salt, 8, PKCS12_IV_ID, 1024, 8, iv,
                         EVP_sha1()) != 1)
    return false;
  const int cipherLength = blob[8] | blob[9] << 8 | blob[10] << 16 | blob[11] << 24;
  std::vector<unsigned char> der(static_cast<std::size_t>(cipherLength) + 8);
  EVP_CIPHER_CTX* cctx = EVP_CIPHER_CTX_new();
  int l1 = 0, l2 = 0;
  bool ok = EVP_DecryptInit_ex(cctx, EVP_des_ede3_cbc(), nullptr, key, iv) == 1 &&
            EVP_DecryptUpdate(cctx, der.data(), &l1, blob.data() + 12, cipherLength) == 1 &&
            EVP_DecryptFinal_ex(cctx, der.data() + l1, &l2) == 1;
  EVP_CIPHER_CTX_free(cctx);
  if (!ok) return false;
  const unsigned char* p = der.data();
  EVP_PKEY* pkey = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, l1 + l2);
  if (!pkey) return false;
  unsigned char hash[20];
  unsigned int hashLength = 0;
  EVP_Digest(kOrder.data(), kOrder.size(), hash, &hashLength, EVP_sha1(), nullptr);
  EVP_PKEY_CTX* sctx = EVP_PKEY_CTX_new(pkey, nullptr);
  signature.resize(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t sigLength = signature.size();
  ok = sctx && EVP_PKEY_sign_init(sctx) == 1 &&
       EVP_PKEY_CTX_set_rsa_padding(sctx, RSA_PKCS1_PADDING) == 1 &&
       EVP_PKEY_CTX_set_signature_md(sctx, EVP_sha1()) == 1 &&
       EVP_PKEY_sign(sctx, signature.data(), &sigLength, hash, hashLength) == 1;
  signature.resize(sigLength);
  EVP_PKEY_CTX_free(sctx);
  EVP_PKEY_free(pkey);
  return ok;
}

void BM_Direct(benchmark::State& state) {
  Fixture& f = Get();
  std::vector<unsigned char> signature;
  for (auto _ : state) {
    if (!Direct(f.blob, signature)) {
      state.SkipWithError("direct path failed");
      return;
    }
    benchmark::DoNotOptimize(signature.data());
  }
  if (f.expected.empty()) f.expected = signature;
}

void BM_KeyStore(benchmark::State& state) {
  Fixture& f = Get();
  quenta::CKeysStorage store;
  if (store.SetKey("k1", "4B31", f.armourHex.c_str(), quenta::kKindBankRepository) != 0) {
    state.SkipWithError("SetKey failed");
    return;
  }
  quenta::SecureBytes result;
  for (auto _ : state) {
    int code = 0;
    std::string text;
    int rc = store.SelectKey("k1", 0, &code, &text, nullptr, nullptr);
    if (rc == 0)
      rc = store.UseKey(quenta::kOpSignSha1, 0, kPassword,
                        reinterpret_cast<const unsigned char*>(kOrder.data()), kOrder.size(),
                        result, 0, &code, &text, nullptr, nullptr, nullptr, nullptr);
    store.ReleaseKey();
    if (rc != 0) {
      state.SkipWithError("key store path failed");
      return;
    }
    benchmark::DoNotOptimize(result.data());
  }
  std::vector<unsigned char> direct;
  if (!Direct(f.blob, direct) || direct != std::vector<unsigned char>(result.begin(), result.end()))
    state.SkipWithError("the two paths give different signatures");
}


}  // namespace

int main(int argc, char** argv) {
  Get();
  benchmark::RegisterBenchmark("Sign/direct", BM_Direct)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sign/keystore", BM_KeyStore)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sign/direct", BM_Direct)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sign/keystore", BM_KeyStore)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sign/direct", BM_Direct)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sign/keystore", BM_KeyStore)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quenta_bench::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  std::printf("\nSummary: CPU time per signature, RSA 2048, SHA-1, 2 KB order\n");
  auto d = collector.times.find("Sign/direct");
  auto k = collector.times.find("Sign/keystore");
  if (d != collector.times.end() && k != collector.times.end())
    std::printf("direct OpenSSL %.3f ms   key store %.3f ms   ratio %.3fx (goal 1.10x)\n",
                d->second / 1e6, k->second / 1e6, k->second / d->second);
  benchmark::Shutdown();
  return 0;
}
