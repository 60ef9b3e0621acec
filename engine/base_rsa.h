// Software RSA keys: the system's own encrypted key format and encrypted
// PKCS#8 key files, and the private-key operations made with them.
#pragma once

#include <cstddef>
#include <string>

#include "engine/secure.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace quenta {

// A PKCS#1 RSAPrivateKey with two primes in DER, as an RSA key (nullptr when
// it is not one). Bytes after the outer structure are ignored; inside it,
// nothing but the nine numbers may appear. No copy of the key is left in
// memory that is freed without wiping.
EVP_PKEY* DecodeRsaPrivateKeyDer(const unsigned char* der, std::size_t length);

class CBaseRSA {
 public:
  enum { kFormatOwn = 0, kFormatPkcs8 = 2 };

  // Key operation numbers accepted by SoftwareOperation.
  enum {
    kOpRawPrivate = 0,  // PKCS#1 v1.5 type-1 padded private-key operation
    kOpDecrypt = 1,     // PKCS#1 v1.5 decryption
    kOpSignSha1 = 3,    // SHA-1 DigestInfo signature
    kOpSignSha256 = 4,  // SHA-256 DigestInfo signature
  };

  // Size of the decoder's work buffers. A decoded armour must stay below it.
  static constexpr std::size_t kWorkBufferSize = 16384;

  // The salt mask: every stored salt byte is XORed with the matching byte
  // of this constant before key derivation. It is part of the key format:
  // it must never change, or every key the banks and users hold becomes
  // unreadable. docs/key-format.md records the same value.
  static constexpr unsigned char kSaltMask[8] = {0x5A, 0x3C, 0x96, 0xE1,
                                                 0x0F, 0x78, 0xC3, 0x2D};

  CBaseRSA();
  virtual ~CBaseRSA();
  CBaseRSA(const CBaseRSA&) = delete;
  CBaseRSA& operator=(const CBaseRSA&) = delete;

  // armouredHex: HexEncode of the "-----BEGIN DATA-----" armoured text.
  // 0 with the own-format digest; 1 missing/empty text or missing password;
  // 3 key derivation; 40 bad hex, no BEGIN line, oversize or malformed
  // blob; 506 cipher set-up; 9 wrong password (padding or DER failure).
  int LoadOwnFormat(const char* armouredHex, const char* password, std::string& digestHex);

  // contentHex: HexEncode of a DER EncryptedPrivateKeyInfo file.
  // 0 with the PKCS#8 digest; 1 bad hex or missing password; 98 not an
  // encrypted PKCS#8 structure; 9 wrong password; 5 not an RSA key.
  int LoadPkcs8(const char* contentHex, const char* password, std::string& digestHex);

  // Loads the material in `format`, checks it against expectedDigest
  // (null: no check; otherwise the computed digest must start with the
  // expected text, and an empty text matches nothing: 36), then runs
  // `operation` on data. result holds the raw big-endian output.
  // Codes: those of the loaders; 1 unknown format or operation, or null data
  // with a length; 36 digest mismatch; 2 no memory; 502 raw operation or
  // decryption failed; 6 signature failed.
  int SoftwareOperation(const char* materialHex, int format, const char* expectedDigest,
                        const char* password, const unsigned char* data, size_t length,
                        int operation, SecureBytes& result);

  // The key decoded last (owned by this object), or null.
  EVP_PKEY* Key() const { return key_; }

  // Key digests, 40 upper-case hex characters; empty if the key is not RSA.
  // Own format: SHA-1(modulus || exponent). PKCS#8: SHA-1(00 || modulus ||
  // exponent). Token: SHA-1(modulus || 01 00 01). Modulus and exponent are
  // minimal big-endian byte strings.
  static std::string OwnFormatDigest(EVP_PKEY* key);
  static std::string Pkcs8Digest(EVP_PKEY* key);
  static std::string TokenDigest(EVP_PKEY* key);
  // Token digest from a modulus as a token reports it (leading zero bytes
  // are dropped first). Empty for an empty modulus.
  static std::string TokenDigest(const unsigned char* modulus, std::size_t length);

  // Writes `key` (RSA) in the own format: random salt, same derivation,
  // DES-EDE3-CBC over the DER RSAPrivateKey, armoured as above. 0 success;
  // 1 missing argument; 5 not an RSA key; 3 salt or derivation failure;
  // 506 cipher failure; 40 the result would be too large to load again.
  static int WrapOwnFormat(EVP_PKEY* key, const char* password, std::string& armouredText);

 private:
  void ReplaceKey(EVP_PKEY* key);

  EVP_PKEY* key_ = nullptr;
  unsigned char saltMask_[8];
  SecureBytes bufferA_;  // decoded armour
  SecureBytes bufferB_;  // decrypted DER RSAPrivateKey
};

}  // namespace quenta
