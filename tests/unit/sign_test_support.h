// Shared by the signing tests: RSA keys in the forms the key store takes
// (made with the openssl tool), the machine's device-support settings, and
// checks of signatures and raw blocks with the openssl tool.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>

#include "engine/base_rsa.h"
#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "engine/secure.h"
#include "tests/support/test_support.h"

namespace quenta_test {

constexpr char kSignKeyPassword[] = "key-pass";

inline bool Quiet(const std::string& command) {
  return RunCommand("(" + command + ") >/dev/null 2>&1") == 0;
}

inline std::string Sha1HexOf(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha1(), nullptr);
  return ToHex(std::string(reinterpret_cast<char*>(md), n));
}

// One RSA key: the PEM files, the own encrypted format (password
// kSignKeyPassword) as text and as a key file, and the key file's digest.
struct SignKey {
  std::string pem, pub;
  std::string armour;     // own format
  std::string prvFile;    // the armour in a file
  std::string ownDigest;  // SHA-1(modulus || exponent)

  bool Make(const std::string& dir, const std::string& name, int bits) {
    pem = dir + "/" + name + ".pem";
    pub = dir + "/" + name + ".pub";
    prvFile = dir + "/" + name + ".prv";
    if (!Quiet("openssl genrsa -out " + pem + " " + std::to_string(bits)) ||
        !Quiet("openssl rsa -in " + pem + " -pubout -out " + pub))
      return false;
    FILE* f = std::fopen(pem.c_str(), "r");
    if (!f) return false;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!key) return false;
    ownDigest = quenta::CBaseRSA::OwnFormatDigest(key);
    const int rc = quenta::CBaseRSA::WrapOwnFormat(key, kSignKeyPassword, armour);
    EVP_PKEY_free(key);
    WriteFile(prvFile, armour);
    return rc == quenta::kOk && !ownDigest.empty();
  }
  // SetKey's data for a repository key (kind 0).
  std::string RepositoryData() const { return ToHex(armour); }
};

// Two keys, a and b, made once for the whole test program.
struct SignKeyPair {
  TempDir dir;
  SignKey a, b;
  bool ok = false;
  SignKeyPair() { ok = a.Make(dir.path(), "a", 1024) && b.Make(dir.path(), "b", 1024); }
  static const SignKeyPair& Get() {
    static SignKeyPair k;
    return k;
  }
};

// The machine-wide device-support settings: XDG_CONFIG_DIRS points at a
// directory of this object's own.
class MachineComponents {
 public:
  MachineComponents() : env_("XDG_CONFIG_DIRS", dir_.path()) {
    RunCommand("mkdir -p '" + dir_.path() + "/norvale/smartcard'");
  }
  // "GemPCKey USB" is the USB token reader, "GemPCTwin USB" the card reader.
  void Set(bool usbToken, bool smartCard) {
    std::string text;
    if (usbToken) text += "GemPCKey USB=1\n";
    if (smartCard) text += "GemPCTwin USB=1\n";
    WriteFile(dir_.path() + "/norvale/smartcard/components.conf", text);
  }
  void SetText(const std::string& text) {
    WriteFile(dir_.path() + "/norvale/smartcard/components.conf", text);
  }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

template <class Bytes>
std::string AsString(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// openssl dgst -<digest> -verify of a signature over data.
inline bool VerifiesWith(const std::string& pub, const char* digest, const std::string& data,
                         const std::string& signature, const std::string& workDir) {
  WriteFile(workDir + "/signed.bin", data);
  WriteFile(workDir + "/signature.bin", signature);
  return Quiet(std::string("openssl dgst -") + digest + " -verify " + pub + " -signature " +
               workDir + "/signature.bin " + workDir + "/signed.bin");
}

// The data inside a raw private-key block, recovered with the public key.
inline std::string RecoverRaw(const std::string& pub, const std::string& block,
                              const std::string& workDir) {
  WriteFile(workDir + "/block.bin", block);
  if (!Quiet("openssl pkeyutl -verifyrecover -pubin -inkey " + pub + " -in " + workDir +
             "/block.bin -out " + workDir + "/recovered.bin"))
    return "(not recoverable)";
  return ReadFile(workDir + "/recovered.bin");
}

// plain encrypted to the key with PKCS#1 v1.5 padding by the openssl tool.
inline std::string EncryptFor(const std::string& pub, const std::string& plain,
                              const std::string& workDir) {
  WriteFile(workDir + "/plain.bin", plain);
  if (!Quiet("openssl pkeyutl -encrypt -pubin -inkey " + pub + " -in " + workDir +
             "/plain.bin -out " + workDir + "/cipher.bin"))
    return std::string();
  return ReadFile(workDir + "/cipher.bin");
}

inline std::string HexOf(const std::string& bytes) { return ToHex(bytes); }

}  // namespace quenta_test
