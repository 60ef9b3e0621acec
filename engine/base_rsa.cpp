#include "engine/base_rsa.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/bn.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "engine/encoding.h"
#include "engine/result_codes.h"

namespace quenta {

namespace {

constexpr std::size_t kSaltLength = 8;
constexpr std::size_t kHeaderLength = kSaltLength + 4;  // salt, LE ciphertext length
constexpr int kIterations = 1024;
constexpr int kCipherKeyLength = 24;
constexpr int kCipherIvLength = 8;
constexpr std::size_t kCipherBlock = 8;
constexpr const char* kArmourBegin = "-----BEGIN DATA-----";
constexpr const char* kArmourEnd = "-----END DATA-----";

// Loads the legacy provider (for PBE-SHA1-RC2-40 and the other old PKCS#8
// ciphers) and the default provider once per process. Loading any provider
// explicitly stops the default one from loading implicitly, so both are
// loaded; a missing legacy provider only costs the old PKCS#8 ciphers.
// The references are given back at exit, before OpenSSL's own clean-up
// (registered earlier by the initialisation, so it runs later).
OSSL_PROVIDER* g_legacyProvider = nullptr;
OSSL_PROVIDER* g_defaultProvider = nullptr;

void UnloadProviders() {
  if (g_defaultProvider) OSSL_PROVIDER_unload(g_defaultProvider);
  if (g_legacyProvider) OSSL_PROVIDER_unload(g_legacyProvider);
  g_defaultProvider = g_legacyProvider = nullptr;
}

void EnsureOpenSsl() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS,
                        nullptr);
    g_legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
    g_defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
    ERR_clear_error();
    std::atexit(&UnloadProviders);
  });
}

// Drops whatever OpenSSL queued for a failure we report as a result code.
int Fail(int code) {
  ERR_clear_error();
  return code;
}

std::vector<unsigned char> BnBytes(const BIGNUM* bn) {
  std::vector<unsigned char> out(static_cast<std::size_t>(BN_num_bytes(bn)));
  if (!out.empty()) BN_bn2bin(bn, out.data());
  return out;
}

// Minimal big-endian modulus and public exponent of an RSA key.
bool RsaPublicParts(EVP_PKEY* key, std::vector<unsigned char>& modulus,
                    std::vector<unsigned char>& exponent) {
  if (!key || !EVP_PKEY_is_a(key, "RSA")) return false;
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
            EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1;
  if (ok) {
    modulus = BnBytes(n);
    exponent = BnBytes(e);
  }
  BN_free(n);
  BN_free(e);
  if (!ok) ERR_clear_error();
  return ok;
}

std::string Sha1Hex(const std::vector<unsigned char>& input) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLength = 0;
  if (EVP_Digest(input.data(), input.size(), md, &mdLength, EVP_sha1(), nullptr) != 1) {
    ERR_clear_error();
    return std::string();
  }
  std::string hex;
  if (HexEncode(md, mdLength, hex) != 0) return std::string();
  return hex;
}

std::string DigestOfParts(EVP_PKEY* key, bool leadingZero) {
  std::vector<unsigned char> n, e;
  if (!RsaPublicParts(key, n, e)) return std::string();
  std::vector<unsigned char> input;
  if (leadingZero) input.push_back(0);
  input.insert(input.end(), n.begin(), n.end());
  input.insert(input.end(), e.begin(), e.end());
  return Sha1Hex(input);
}

// PKCS#12 derivation of the DES-EDE3 key and IV from the password and the
// masked salt. Returns false on failure; the caller wipes key and iv.
bool DeriveKeyAndIv(const char* password, const unsigned char* storedSalt,
                    const unsigned char* mask, unsigned char* key, unsigned char* iv) {
  std::size_t passwordLength = std::strlen(password);
  if (passwordLength > static_cast<std::size_t>(INT_MAX / 2 - 1)) return false;
  unsigned char salt[kSaltLength];
  for (std::size_t i = 0; i < kSaltLength; ++i) salt[i] = storedSalt[i] ^ mask[i];
  bool ok = PKCS12_key_gen_asc(password, static_cast<int>(passwordLength), salt,
                               static_cast<int>(kSaltLength), PKCS12_KEY_ID, kIterations,
                               kCipherKeyLength, key, EVP_sha1()) == 1 &&
            PKCS12_key_gen_asc(password, static_cast<int>(passwordLength), salt,
                               static_cast<int>(kSaltLength), PKCS12_IV_ID, kIterations,
                               kCipherIvLength, iv, EVP_sha1()) == 1;
  OPENSSL_cleanse(salt, sizeof salt);
  return ok;
}

struct CipherContext {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~CipherContext() {
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
  }
  bool ready() const { return cipher && ctx; }
};

struct PkeyContext {
  explicit PkeyContext(EVP_PKEY* key) : ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr)) {}
  ~PkeyContext() { EVP_PKEY_CTX_free(ctx); }
  EVP_PKEY_CTX* ctx;
};

// One DER header (tag and definite length) at p; the content must lie
// within the bytes left.
bool ReadDerHeader(const unsigned char*& p, std::size_t& left, unsigned char tag,
                   std::size_t& length) {
  if (left < 2 || p[0] != tag) return false;
  const unsigned char first = p[1];
  p += 2;
  left -= 2;
  if (first < 0x80) {
    length = first;
  } else {
    const std::size_t count = first & 0x7F;
    if (count == 0 || count > 4 || count > left) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | p[i];
    p += count;
    left -= count;
  }
  return length <= left;
}

// Numbers of a key of up to 16384 bits (the most OpenSSL uses), and a sign byte.
constexpr std::size_t kMaxDerNumber = 2049;

// A non-negative INTEGER as a big number; its content bytes stay where they
// are (in the caller's wiped buffer).
BIGNUM* ReadDerUnsigned(const unsigned char*& p, std::size_t& left) {
  std::size_t length = 0;
  if (!ReadDerHeader(p, left, 0x02, length) || length == 0 || length > kMaxDerNumber ||
      (p[0] & 0x80) != 0)
    return nullptr;
  if (length > 1 && p[0] == 0 && (p[1] & 0x80) == 0) return nullptr;  // not minimal: not DER
  BIGNUM* n = BN_secure_new();
  if (n && !BN_bin2bn(p, static_cast<int>(length), n)) {
    BN_clear_free(n);
    n = nullptr;
  }
  if (n) BN_set_flags(n, BN_FLG_CONSTTIME);
  p += length;
  left -= length;
  return n;
}

}  // namespace

// The DER is read here rather than by OpenSSL's decoders, which leave a
// copy of their input in memory they free without wiping. The numbers go
// into secure big numbers; OpenSSL keeps the parameter block built from
// them in secure memory too and wipes it when it is freed.
EVP_PKEY* DecodeRsaPrivateKeyDer(const unsigned char* der, std::size_t length) {
  const unsigned char* p = der;
  std::size_t left = length;
  std::size_t sequence = 0;
  if (!ReadDerHeader(p, left, 0x30, sequence)) return nullptr;
  left = sequence;  // anything after the structure is not part of it

  BIGNUM* parts[9] = {};  // version, n, e, d, p, q, dP, dQ, qInv
  bool ok = true;
  for (BIGNUM*& part : parts) {
    part = ReadDerUnsigned(p, left);
    if (!part) {
      ok = false;
      break;
    }
  }
  // Version 0 is a two-prime key; more primes (version 1) are not ours.
  ok = ok && BN_is_zero(parts[0]) && !BN_is_zero(parts[1]) && !BN_is_zero(parts[2]) &&
       !BN_is_zero(parts[3]) && left == 0;

  EVP_PKEY* key = nullptr;
  OSSL_PARAM_BLD* build = ok ? OSSL_PARAM_BLD_new() : nullptr;
  OSSL_PARAM* params = nullptr;
  if (build) {
    static const char* const kNames[9] = {
        nullptr,
        OSSL_PKEY_PARAM_RSA_N,
        OSSL_PKEY_PARAM_RSA_E,
        OSSL_PKEY_PARAM_RSA_D,
        OSSL_PKEY_PARAM_RSA_FACTOR1,
        OSSL_PKEY_PARAM_RSA_FACTOR2,
        OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2,
        OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    bool pushed = true;
    for (int i = 1; i < 9 && pushed; ++i)
      pushed = OSSL_PARAM_BLD_push_BN(build, kNames[i], parts[i]) == 1;
    if (pushed) params = OSSL_PARAM_BLD_to_param(build);
  }
  if (params) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    if (!ctx || EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) != 1) {
      EVP_PKEY_free(key);
      key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
  }
  OSSL_PARAM_free(params);  // the secure numbers' block is wiped
  OSSL_PARAM_BLD_free(build);
  for (BIGNUM* part : parts) BN_clear_free(part);
  return key;
}

CBaseRSA::CBaseRSA() {
  std::memcpy(saltMask_, kSaltMask, sizeof saltMask_);
  EnsureOpenSsl();
}

CBaseRSA::~CBaseRSA() { EVP_PKEY_free(key_); }

void CBaseRSA::ReplaceKey(EVP_PKEY* key) {
  EVP_PKEY_free(key_);
  key_ = key;
}

int CBaseRSA::LoadOwnFormat(const char* armouredHex, const char* password,
                            std::string& digestHex) {
  digestHex.clear();
  if (!armouredHex || !*armouredHex || !password) return kErrArgument;

  SecureBytes armour;
  if (HexDecode(armouredHex, armour) != kOk) return kErrHexData;

  try {
    if (bufferA_.size() != kWorkBufferSize) bufferA_.assign(kWorkBufferSize, 0);
    if (bufferB_.size() != kWorkBufferSize) bufferB_.assign(kWorkBufferSize, 0);
  } catch (const std::bad_alloc&) {
    return kErrNoMemory;
  }

  std::size_t count = kWorkBufferSize;
  int rc = PemDecode(reinterpret_cast<const char*>(armour.data()), armour.size(), kPemData,
                     bufferA_.data(), &count);
  // The work buffers are reused: whatever this load leaves in them is
  // wiped on the way out, whichever way that is.
  struct WipeOnExit {
    SecureBytes& a;
    SecureBytes& b;
    ~WipeOnExit() {
      SecureWipe(a.data(), a.size());
      SecureWipe(b.data(), b.size());
    }
  } wipe{bufferA_, bufferB_};

  if (rc != kOk || count >= kWorkBufferSize) return kErrHexData;

  // The blob must hold its header and the whole ciphertext it announces;
  // the ciphertext of a padded block cipher is a non-zero number of blocks.
  if (count < kHeaderLength) return kErrHexData;
  const unsigned char* blob = bufferA_.data();
  std::uint32_t cipherLength = static_cast<std::uint32_t>(blob[8]) |
                               static_cast<std::uint32_t>(blob[9]) << 8 |
                               static_cast<std::uint32_t>(blob[10]) << 16 |
                               static_cast<std::uint32_t>(blob[11]) << 24;
  if (cipherLength == 0 || cipherLength % kCipherBlock != 0 ||
      cipherLength > count - kHeaderLength)
    return kErrHexData;

  unsigned char key[kCipherKeyLength];
  unsigned char iv[kCipherIvLength];
  bool derived = DeriveKeyAndIv(password, blob, saltMask_, key, iv);
  if (!derived) {
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
    return Fail(kErrKeyDerivation);
  }

  CipherContext cipher;
  bool initialised =
      cipher.ready() && EVP_DecryptInit_ex2(cipher.ctx, cipher.cipher, key, iv, nullptr) == 1;
  OPENSSL_cleanse(key, sizeof key);
  OPENSSL_cleanse(iv, sizeof iv);
  if (!initialised) return Fail(kErrCipherInit);

  // cipherLength <= kWorkBufferSize - 12, so an update that writes up to
  // one block more than its input still fits in buffer B.
  int updateLength = 0;
  int finalLength = 0;
  if (EVP_DecryptUpdate(cipher.ctx, bufferB_.data(), &updateLength, blob + kHeaderLength,
                        static_cast<int>(cipherLength)) != 1 ||
      EVP_DecryptFinal_ex(cipher.ctx, bufferB_.data() + updateLength, &finalLength) != 1)
    return Fail(kErrBadPassword);

  EVP_PKEY* decoded =
      DecodeRsaPrivateKeyDer(bufferB_.data(), static_cast<std::size_t>(updateLength + finalLength));
  if (!decoded) return Fail(kErrBadPassword);

  ReplaceKey(decoded);
  digestHex = OwnFormatDigest(key_);
  return kOk;
}

int CBaseRSA::LoadPkcs8(const char* contentHex, const char* password, std::string& digestHex) {
  digestHex.clear();
  SecureBytes der;
  int rc = HexDecode(contentHex, der);
  if (rc != kOk) return rc;
  if (!password) return kErrArgument;
  std::size_t passwordLength = std::strlen(password);
  if (passwordLength > static_cast<std::size_t>(INT_MAX)) return kErrArgument;
  if (der.size() > static_cast<std::size_t>(INT_MAX)) return kErrPkcs8Parse;

  BIO* bio = BIO_new_mem_buf(der.data(), static_cast<int>(der.size()));
  if (!bio) return Fail(kErrNoMemory);
  X509_SIG* encrypted = d2i_PKCS8_bio(bio, nullptr);
  BIO_free(bio);
  if (!encrypted) return Fail(kErrPkcs8Parse);

  PKCS8_PRIV_KEY_INFO* info =
      PKCS8_decrypt(encrypted, password, static_cast<int>(passwordLength));
  X509_SIG_free(encrypted);
  if (!info) return Fail(kErrBadPassword);

  // Only RSA keys; their inner RSAPrivateKey is read like the own format's.
  const ASN1_OBJECT* algorithm = nullptr;
  const unsigned char* inner = nullptr;
  int innerLength = 0;
  EVP_PKEY* key = nullptr;
  if (PKCS8_pkey_get0(&algorithm, &inner, &innerLength, nullptr, info) == 1 &&
      OBJ_obj2nid(algorithm) == NID_rsaEncryption && inner && innerLength > 0)
    key = DecodeRsaPrivateKeyDer(inner, static_cast<std::size_t>(innerLength));
  PKCS8_PRIV_KEY_INFO_free(info);  // clears the private key octets
  if (!key) return Fail(kErrKeyKindUnusable);

  ReplaceKey(key);
  digestHex = Pkcs8Digest(key_);
  return kOk;
}

int CBaseRSA::SoftwareOperation(const char* materialHex, int format, const char* expectedDigest,
                                const char* password, const unsigned char* data, size_t length,
                                int operation, SecureBytes& result) {
  result.clear();
  std::string digest;
  int rc;
  if (format == kFormatOwn)
    rc = LoadOwnFormat(materialHex, password, digest);
  else if (format == kFormatPkcs8)
    rc = LoadPkcs8(materialHex, password, digest);
  else
    return kErrArgument;
  if (rc != kOk) return rc;

  // Only a null pointer means "no digest to check". An empty text would
  // match every key over its zero characters, so it matches none.
  if (expectedDigest) {
    std::size_t expectedLength = std::strlen(expectedDigest);
    if (expectedLength == 0 || expectedLength > digest.size() ||
        digest.compare(0, expectedLength, expectedDigest) != 0)
      return kErrKeyDigestMismatch;
  }

  if (!data && length > 0) return kErrArgument;
  static const unsigned char kNoData = 0;
  if (!data) data = &kNoData;

  int keySize = EVP_PKEY_get_size(key_);
  if (keySize <= 0) return Fail(kErrRsaOperation);
  try {
    result.assign(static_cast<std::size_t>(keySize), 0);
  } catch (const std::bad_alloc&) {
    return kErrNoMemory;
  }

  PkeyContext pkey(key_);
  std::size_t outLength = result.size();
  switch (operation) {
    case kOpRawPrivate: {
      // A signature with no digest set: the data itself is padded with
      // PKCS#1 v1.5 block type 1 and raised to the private exponent.
      if (!pkey.ctx || EVP_PKEY_sign_init(pkey.ctx) != 1 ||
          EVP_PKEY_CTX_set_rsa_padding(pkey.ctx, RSA_PKCS1_PADDING) != 1 ||
          EVP_PKEY_sign(pkey.ctx, result.data(), &outLength, data, length) != 1 ||
          outLength < 1) {
        result.clear();
        return Fail(kErrRsaOperation);
      }
      break;
    }
    case kOpDecrypt: {
      if (!pkey.ctx || EVP_PKEY_decrypt_init(pkey.ctx) != 1 ||
          EVP_PKEY_CTX_set_rsa_padding(pkey.ctx, RSA_PKCS1_PADDING) != 1 ||
          EVP_PKEY_decrypt(pkey.ctx, result.data(), &outLength, data, length) != 1 ||
          outLength < 1) {
        result.clear();
        return Fail(kErrRsaOperation);
      }
      break;
    }
    case kOpSignSha1:
    case kOpSignSha256: {
      const EVP_MD* md = operation == kOpSignSha1 ? EVP_sha1() : EVP_sha256();
      unsigned char hash[EVP_MAX_MD_SIZE];
      unsigned int hashLength = 0;
      if (!pkey.ctx || EVP_Digest(data, length, hash, &hashLength, md, nullptr) != 1 ||
          EVP_PKEY_sign_init(pkey.ctx) != 1 ||
          EVP_PKEY_CTX_set_rsa_padding(pkey.ctx, RSA_PKCS1_PADDING) != 1 ||
          EVP_PKEY_CTX_set_signature_md(pkey.ctx, md) != 1 ||
          EVP_PKEY_sign(pkey.ctx, result.data(), &outLength, hash, hashLength) != 1) {
        OPENSSL_cleanse(hash, sizeof hash);
        result.clear();
        return Fail(kErrSoftwareSign);
      }
      OPENSSL_cleanse(hash, sizeof hash);
      break;
    }
    default:
      result.clear();
      return kErrArgument;
  }
  result.resize(outLength);
  return kOk;
}

std::string CBaseRSA::OwnFormatDigest(EVP_PKEY* key) { return DigestOfParts(key, false); }

std::string CBaseRSA::Pkcs8Digest(EVP_PKEY* key) { return DigestOfParts(key, true); }

std::string CBaseRSA::TokenDigest(EVP_PKEY* key) {
  std::vector<unsigned char> n, e;
  if (!RsaPublicParts(key, n, e)) return std::string();
  return TokenDigest(n.data(), n.size());
}

std::string CBaseRSA::TokenDigest(const unsigned char* modulus, std::size_t length) {
  if (!modulus) return std::string();
  while (length > 0 && *modulus == 0) {
    ++modulus;
    --length;
  }
  if (length == 0) return std::string();
  std::vector<unsigned char> input(modulus, modulus + length);
  input.push_back(0x01);
  input.push_back(0x00);
  input.push_back(0x01);
  return Sha1Hex(input);
}

int CBaseRSA::WrapOwnFormat(EVP_PKEY* key, const char* password, std::string& armouredText) {
  armouredText.clear();
  if (!key || !password) return kErrArgument;
  if (!EVP_PKEY_is_a(key, "RSA")) return kErrKeyKindUnusable;
  EnsureOpenSsl();

  // DER RSAPrivateKey (PKCS#1); fails for a key without its private half.
  unsigned char* der = nullptr;
  std::size_t derLength = 0;
  OSSL_ENCODER_CTX* ectx = OSSL_ENCODER_CTX_new_for_pkey(key, OSSL_KEYMGMT_SELECT_KEYPAIR, "DER",
                                                         "type-specific", nullptr);
  bool encoded = ectx && OSSL_ENCODER_CTX_get_num_encoders(ectx) > 0 &&
                 OSSL_ENCODER_to_data(ectx, &der, &derLength) == 1 && der && derLength > 0;
  OSSL_ENCODER_CTX_free(ectx);
  if (!encoded) {
    OPENSSL_clear_free(der, derLength);
    return Fail(kErrKeyKindUnusable);
  }
  struct DerGuard {
    unsigned char*& p;
    std::size_t& n;
    ~DerGuard() { OPENSSL_clear_free(p, n); }
  } derGuard{der, derLength};

  // Header, ciphertext (at most one block of padding more than the DER).
  if (derLength > kWorkBufferSize) return kErrHexData;
  std::vector<unsigned char> blob(kHeaderLength + derLength + kCipherBlock);
  if (RAND_bytes(blob.data(), static_cast<int>(kSaltLength)) != 1) return Fail(kErrKeyDerivation);

  unsigned char cipherKey[kCipherKeyLength];
  unsigned char iv[kCipherIvLength];
  bool derived = DeriveKeyAndIv(password, blob.data(), kSaltMask, cipherKey, iv);
  if (!derived) {
    OPENSSL_cleanse(cipherKey, sizeof cipherKey);
    OPENSSL_cleanse(iv, sizeof iv);
    return Fail(kErrKeyDerivation);
  }
  CipherContext cipher;
  bool initialised = cipher.ready() &&
                     EVP_EncryptInit_ex2(cipher.ctx, cipher.cipher, cipherKey, iv, nullptr) == 1;
  OPENSSL_cleanse(cipherKey, sizeof cipherKey);
  OPENSSL_cleanse(iv, sizeof iv);
  if (!initialised) return Fail(kErrCipherInit);

  int updateLength = 0;
  int finalLength = 0;
  unsigned char* out = blob.data() + kHeaderLength;
  if (EVP_EncryptUpdate(cipher.ctx, out, &updateLength, der, static_cast<int>(derLength)) != 1 ||
      EVP_EncryptFinal_ex(cipher.ctx, out + updateLength, &finalLength) != 1)
    return Fail(kErrCipherInit);
  std::uint32_t cipherLength = static_cast<std::uint32_t>(updateLength + finalLength);
  blob[8] = static_cast<unsigned char>(cipherLength);
  blob[9] = static_cast<unsigned char>(cipherLength >> 8);
  blob[10] = static_cast<unsigned char>(cipherLength >> 16);
  blob[11] = static_cast<unsigned char>(cipherLength >> 24);
  blob.resize(kHeaderLength + cipherLength);

  // The reader decodes into a buffer of kWorkBufferSize and counts it full
  // one byte before the end: at most kWorkBufferSize - 1 bytes load.
  if (blob.size() >= kWorkBufferSize) return kErrHexData;

  std::string base64(4 * ((blob.size() + 2) / 3) + 1, '\0');
  int base64Length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&base64[0]), blob.data(),
                                     static_cast<int>(blob.size()));
  base64.resize(static_cast<std::size_t>(base64Length));

  std::string text = std::string(kArmourBegin) + "\n";
  for (std::size_t at = 0; at < base64.size(); at += 64) text += base64.substr(at, 64) + "\n";
  text += std::string(kArmourEnd) + "\n";
  armouredText.swap(text);
  return kOk;
}

}  // namespace quenta
