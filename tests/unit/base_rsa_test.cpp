#include "engine/base_rsa.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "tests/support/test_support.h"

namespace {

using quenta::CBaseRSA;
using quenta::SecureBytes;
using quenta_test::ReadFile;
using quenta_test::RunCommand;
using quenta_test::TempDir;
using quenta_test::ToHex;
using quenta_test::Unhex;
using quenta_test::WriteFile;

const char kPassword[] = "Correct horse 7";

std::string Hex(const std::string& bytes) {
  std::string hex;
  EXPECT_EQ(quenta::HexEncode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                              hex),
            0);
  return hex;
}

std::string Trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

// Runs a shell command that must succeed; returns its standard output.
std::string Sh(const std::string& command) {
  std::string out;
  int rc = RunCommand(command, &out);
  EXPECT_EQ(rc, 0) << command;
  return out;
}

std::string Base64Armour(const std::string& blob) {
  std::string b64(4 * ((blob.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&b64[0]),
                          reinterpret_cast<const unsigned char*>(blob.data()),
                          static_cast<int>(blob.size()));
  b64.resize(static_cast<std::size_t>(n));
  std::string text = "-----BEGIN DATA-----\n";
  for (std::size_t i = 0; i < b64.size(); i += 64) text += b64.substr(i, 64) + "\n";
  return text + "-----END DATA-----\n";
}

std::string Le32(std::uint32_t n) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(n >> (8 * i));
  return s;
}

struct TestKey {
  std::string pem;          // private key file
  std::string pub;          // public key file
  std::string pkcs1Der;     // RSAPrivateKey DER file
  std::string ownDigest;    // computed with the openssl CLI
  std::string pkcs8Digest;
  std::string tokenDigest;
  std::string modulus;      // minimal big-endian bytes
};

// Keys and expected digests made once with the openssl command line tool.
class Keys {
 public:
  static Keys& Get() {
    static Keys keys;
    return keys;
  }
  TempDir dir;
  TestKey rsa1024, rsa2048, rsaE3;
  std::string ec;

 private:
  Keys() {
    Make(rsa1024, "rsa1024", "openssl genrsa -out %s 1024");
    Make(rsa2048, "rsa2048", "openssl genrsa -out %s 2048");
    Make(rsaE3, "rsa_e3",
         "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 "
         "-pkeyopt rsa_keygen_pubexp:3 -out %s");
    ec = dir.File("ec.pem");
    Sh("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + ec);
  }

  std::string Sha1Hex(const std::string& bytes) {
    std::string f = dir.File("digest-input");
    WriteFile(f, bytes);
    return ToHex(Sh("openssl dgst -sha1 -binary " + f));
  }

  void Make(TestKey& k, const std::string& name, const std::string& genTemplate) {
    k.pem = dir.File(name + ".pem");
    k.pub = dir.File(name + ".pub.pem");
    k.pkcs1Der = dir.File(name + ".der");
    std::string gen = genTemplate;
    gen.replace(gen.find("%s"), 2, k.pem);
    Sh(gen + " 2>/dev/null");
    Sh("openssl rsa -in " + k.pem + " -pubout -out " + k.pub + " 2>/dev/null");
    Sh("openssl rsa -in " + k.pem + " -traditional -outform DER -out " + k.pkcs1Der +
       " 2>/dev/null");
    std::string mod = Trim(Sh("openssl rsa -in " + k.pem + " -noout -modulus 2>/dev/null"));
    ASSERT_EQ(mod.rfind("Modulus=", 0), 0u);
    k.modulus = Unhex(mod.substr(8));
    std::string text = Sh("openssl rsa -in " + k.pem + " -noout -text 2>/dev/null");
    std::size_t at = text.find("publicExponent: ");
    ASSERT_NE(at, std::string::npos);
    std::size_t open = text.find("(0x", at), close = text.find(')', open);
    std::string eHex = text.substr(open + 3, close - open - 3);
    if (eHex.size() % 2) eHex = "0" + eHex;
    std::string e = Unhex(eHex);
    k.ownDigest = Sha1Hex(k.modulus + e);
    k.pkcs8Digest = Sha1Hex(std::string(1, '\0') + k.modulus + e);
    k.tokenDigest = Sha1Hex(k.modulus + std::string("\x01\x00\x01", 3));
  }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PkeyPtr ReadPem(const std::string& path) {
  BIO* bio = BIO_new_file(path.c_str(), "r");
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return PkeyPtr(key, &EVP_PKEY_free);
}

// HexEncode of the own-format text of a key, as the page hands it in.
std::string WrappedHex(const TestKey& k, const char* password = kPassword) {
  PkeyPtr key = ReadPem(k.pem);
  std::string armoured;
  EXPECT_EQ(CBaseRSA::WrapOwnFormat(key.get(), password, armoured), 0);
  return Hex(armoured);
}

// The PKCS#12 derivation of the format, done by the openssl command line.
std::string CliKdf(const std::string& password, const std::string& maskedSalt, int id, int n) {
  std::string bmp;
  for (char c : password) bmp += std::string(1, '\0') + c;
  bmp += std::string(2, '\0');
  std::string out = Sh("openssl kdf -keylen " + std::to_string(n) +
                       " -kdfopt digest:SHA1 -kdfopt hexpass:" + ToHex(bmp) +
                       " -kdfopt hexsalt:" + ToHex(maskedSalt) +
                       " -kdfopt iter:1024 -kdfopt id:" + std::to_string(id) + " PKCS12KDF");
  std::string hex;
  for (char c : out)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  return hex;
}

std::string MaskSalt(const std::string& salt) {
  std::string masked = salt;
  for (int i = 0; i < 8; ++i) masked[i] = static_cast<char>(salt[i] ^ CBaseRSA::kSaltMask[i]);
  return masked;
}

// A blob built from the format description alone with the openssl tool:
// salt, LE length, DES-EDE3-CBC of `plainFile`.
std::string CliBlob(const TempDir& dir, const std::string& plainFile, const std::string& password,
                    const std::string& salt) {
  std::string masked = MaskSalt(salt);
  std::string key = CliKdf(password, masked, 1, 24);
  std::string iv = CliKdf(password, masked, 2, 8);
  std::string ct = dir.File("ct.bin");
  Sh("openssl enc -des-ede3-cbc -K " + key + " -iv " + iv + " -in " + plainFile + " -out " + ct);
  std::string cipher = ReadFile(ct);
  return salt + Le32(static_cast<std::uint32_t>(cipher.size())) + cipher;
}

// ---------------------------------------------------------------- format

TEST(BaseRsaFormat, SaltMaskIsTheDocumentedConstant) {
  const unsigned char documented[8] = {0x5A, 0x3C, 0x96, 0xE1, 0x0F, 0x78, 0xC3, 0x2D};
  EXPECT_EQ(0, std::memcmp(CBaseRSA::kSaltMask, documented, 8));
  std::string doc = ReadFile(std::string(QUENTA_SOURCE_DIR) + "/docs/key-format.md");
  EXPECT_NE(doc.find("5A 3C 96 E1 0F 78 C3 2D"), std::string::npos);
}

TEST(BaseRsaFormat, LoadsBlobBuiltIndependently) {
  const TestKey& k = Keys::Get().rsa1024;
  TempDir dir;
  std::string blob = CliBlob(dir, k.pkcs1Der, kPassword, "\x01\x23\x45\x67\x89\xAB\xCD\xEF");
  // Text before the armour and trailing bytes after the ciphertext are ignored.
  std::string text = "Key of J. Kowalski\r\n" + Base64Armour(blob + "tail");
  CBaseRSA rsa;
  std::string digest;
  ASSERT_EQ(rsa.LoadOwnFormat(Hex(text).c_str(), kPassword, digest), 0);
  EXPECT_EQ(digest, k.ownDigest);
}

TEST(BaseRsaFormat, WriterOutputDecryptsWithTheOpensslTool) {
  const TestKey& k = Keys::Get().rsa2048;
  PkeyPtr key = ReadPem(k.pem);
  std::string armoured;
  ASSERT_EQ(CBaseRSA::WrapOwnFormat(key.get(), kPassword, armoured), 0);

  ASSERT_EQ(armoured.rfind("-----BEGIN DATA-----\n", 0), 0u);
  const std::string end = "-----END DATA-----\n";
  ASSERT_GE(armoured.size(), end.size());
  ASSERT_EQ(armoured.substr(armoured.size() - end.size()), end);
  std::string body = armoured.substr(21, armoured.size() - 21 - end.size());
  std::size_t lineStart = 0;
  for (std::size_t nl; (nl = body.find('\n', lineStart)) != std::string::npos; lineStart = nl + 1)
    EXPECT_LE(nl - lineStart, 64u);

  TempDir dir;
  WriteFile(dir.File("b64"), body);
  Sh("openssl base64 -d -in " + dir.File("b64") + " -out " + dir.File("blob"));
  std::string blob = ReadFile(dir.File("blob"));
  ASSERT_GT(blob.size(), 12u);
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(blob[8 + i])) << (8 * i);
  ASSERT_EQ(blob.size(), 12u + n);
  WriteFile(dir.File("ct"), blob.substr(12));
  std::string masked = MaskSalt(blob.substr(0, 8));
  Sh("openssl enc -d -des-ede3-cbc -K " + CliKdf(kPassword, masked, 1, 24) + " -iv " +
     CliKdf(kPassword, masked, 2, 8) + " -in " + dir.File("ct") + " -out " + dir.File("der"));
  EXPECT_EQ(ReadFile(dir.File("der")), ReadFile(k.pkcs1Der));
}

TEST(BaseRsaFormat, WrapRefusesWhatItCannotWrite) {
  PkeyPtr ec = ReadPem(Keys::Get().ec);
  BIO* bio = BIO_new_file(Keys::Get().rsa1024.pub.c_str(), "r");
  PkeyPtr pub(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr), &EVP_PKEY_free);
  BIO_free(bio);
  ASSERT_TRUE(ec && pub);
  PkeyPtr rsa = ReadPem(Keys::Get().rsa1024.pem);
  std::string text = "left over";
  EXPECT_EQ(CBaseRSA::WrapOwnFormat(nullptr, kPassword, text), 1);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(CBaseRSA::WrapOwnFormat(rsa.get(), nullptr, text), 1);
  EXPECT_EQ(CBaseRSA::WrapOwnFormat(ec.get(), kPassword, text), 5);
  EXPECT_EQ(CBaseRSA::WrapOwnFormat(pub.get(), kPassword, text), 5);
}

// ---------------------------------------------------------------- digests

TEST(BaseRsaDigests, MatchTheOpensslTool) {
  for (const TestKey* k : {&Keys::Get().rsa1024, &Keys::Get().rsa2048, &Keys::Get().rsaE3}) {
    SCOPED_TRACE(k->pem);
    PkeyPtr key = ReadPem(k->pem);
    EXPECT_EQ(CBaseRSA::OwnFormatDigest(key.get()), k->ownDigest);
    EXPECT_EQ(CBaseRSA::Pkcs8Digest(key.get()), k->pkcs8Digest);
    EXPECT_EQ(CBaseRSA::TokenDigest(key.get()), k->tokenDigest);
    // A token may report the modulus with a leading zero byte.
    std::string padded = std::string(1, '\0') + k->modulus;
    EXPECT_EQ(CBaseRSA::TokenDigest(reinterpret_cast<const unsigned char*>(padded.data()),
                                    padded.size()),
              k->tokenDigest);
  }
  PkeyPtr ec = ReadPem(Keys::Get().ec);
  EXPECT_EQ(CBaseRSA::OwnFormatDigest(ec.get()), "");
  EXPECT_EQ(CBaseRSA::TokenDigest(nullptr, 0), "");
}

// ---------------------------------------------------------------- LoadOwnFormat

TEST(BaseRsaOwnFormat, RoundTripReturnsTheKeyDigest) {
  for (const TestKey* k : {&Keys::Get().rsa1024, &Keys::Get().rsa2048, &Keys::Get().rsaE3}) {
    SCOPED_TRACE(k->pem);
    CBaseRSA rsa;
    std::string digest;
    ASSERT_EQ(rsa.LoadOwnFormat(WrappedHex(*k).c_str(), kPassword, digest), 0);
    EXPECT_EQ(digest, k->ownDigest);
    EXPECT_EQ(digest.size(), 40u);
    EXPECT_EQ(CBaseRSA::OwnFormatDigest(rsa.Key()), k->ownDigest);
  }
}

TEST(BaseRsaOwnFormat, WrongPasswordIsNine) {
  // Random salts: most wrong keys fail the padding check, a few pass it and
  // fail the DER decoding; both are a wrong password.
  const TestKey& k = Keys::Get().rsa1024;
  CBaseRSA rsa;
  for (int i = 0; i < 24; ++i) {
    std::string digest = "stale";
    ASSERT_EQ(rsa.LoadOwnFormat(WrappedHex(k).c_str(), "Correct horse 8", digest), 9);
    EXPECT_TRUE(digest.empty());
  }
  std::string digest;
  EXPECT_EQ(rsa.LoadOwnFormat(WrappedHex(k).c_str(), "", digest), 9);
}

TEST(BaseRsaOwnFormat, PaddedPlaintextThatIsNoKeyIsNine) {
  TempDir dir;
  WriteFile(dir.File("plain"), std::string(200, 'Q'));
  std::string blob = CliBlob(dir, dir.File("plain"), kPassword, "saltsalt");
  CBaseRSA rsa;
  std::string digest;
  EXPECT_EQ(rsa.LoadOwnFormat(Hex(Base64Armour(blob)).c_str(), kPassword, digest), 9);
}

TEST(BaseRsaOwnFormat, MalformedMaterial) {
  TempDir dir;
  std::string good = CliBlob(dir, Keys::Get().rsa1024.pkcs1Der, kPassword, "12345678");
  std::string cipher = good.substr(12);
  auto withLength = [&](std::uint32_t n) { return good.substr(0, 8) + Le32(n) + cipher; };
  std::string noBegin = Base64Armour(good).substr(std::strlen("-----BEGIN DATA-----\n"));
  std::string random16k(16384, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(&random16k[0]), 16384);

  struct Case {
    const char* name;
    std::optional<std::string> text;  // nullopt: a null pointer
    const char* password;
    int code;
  } cases[] = {
      {"null text", std::nullopt, kPassword, 1},
      {"empty text", "", kPassword, 1},
      {"null password", Hex(Base64Armour(good)), nullptr, 1},
      {"not hex", "-----BEGIN DATA-----", kPassword, 40},
      {"odd hex", "ABC", kPassword, 40},
      {"valid hex, no BEGIN line", Hex(noBegin), kPassword, 40},
      {"BEGIN line only", Hex("-----BEGIN DATA-----\n-----END DATA-----\n"), kPassword, 40},
      {"shorter than a header", Hex(Base64Armour("12345678" + Le32(8))), kPassword, 40},
      {"length beyond the data", Hex(Base64Armour(withLength(cipher.size() + 8))), kPassword, 40},
      {"length near 4 GiB", Hex(Base64Armour(withLength(0xFFFFFFF8u))), kPassword, 40},
      {"zero length", Hex(Base64Armour(withLength(0))), kPassword, 40},
      {"length not whole blocks", Hex(Base64Armour(withLength(cipher.size() - 3))), kPassword, 40},
      {"armour larger than the work buffer", Hex(Base64Armour(random16k)), kPassword, 40},
      {"largest blob that fits",
       Hex(Base64Armour("12345678" + Le32(16368) + random16k.substr(0, 16371))), kPassword, 9},
      {"one byte larger",
       Hex(Base64Armour("12345678" + Le32(16368) + random16k.substr(0, 16372))), kPassword, 40},
  };
  CBaseRSA rsa;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string digest = "stale";
    EXPECT_EQ(rsa.LoadOwnFormat(c.text ? c.text->c_str() : nullptr, c.password, digest), c.code);
    EXPECT_TRUE(digest.empty());
    EXPECT_EQ(rsa.Key(), nullptr);
  }
}

// ---------------------------------------------------------------- the private key reader

// DER built by hand: a header with the given length form, and integers.
std::string DerHeader(unsigned char tag, std::size_t n) {
  std::string h(1, static_cast<char>(tag));
  if (n < 0x80) return h + static_cast<char>(n);
  std::string len;
  for (std::size_t v = n; v; v >>= 8) len.insert(len.begin(), static_cast<char>(v & 0xFF));
  return h + static_cast<char>(0x80 | len.size()) + len;
}
std::string DerInt(const std::string& content) { return DerHeader(0x02, content.size()) + content; }
std::string DerSeq(const std::vector<std::string>& ints) {
  std::string body;
  for (const std::string& i : ints) body += DerInt(i);
  return DerHeader(0x30, body.size()) + body;
}

// The nine numbers of a PKCS#1 file, as their DER contents.
std::vector<std::string> DerNumbers(const std::string& der) {
  std::vector<std::string> out;
  std::size_t at = 1 + ((der[1] & 0x80) ? 1 + (der[1] & 0x7F) : 1);
  while (at < der.size()) {
    std::size_t len = static_cast<unsigned char>(der[at + 1]);
    std::size_t head = 2;
    if (len & 0x80) {
      const std::size_t count = len & 0x7F;
      len = 0;
      for (std::size_t i = 0; i < count; ++i) len = len << 8 | static_cast<unsigned char>(der[at + 2 + i]);
      head += count;
    }
    out.push_back(der.substr(at + head, len));
    at += head + len;
  }
  return out;
}

TEST(BaseRsaDer, ReadsTwoPrimeKeysAndRefusesEverythingElse) {
  const std::string der = ReadFile(Keys::Get().rsa1024.pkcs1Der);
  const std::vector<std::string> numbers = DerNumbers(der);
  ASSERT_EQ(numbers.size(), 9u);
  ASSERT_EQ(DerSeq(numbers), der);  // the hand-made encoding is the tool's

  auto decode = [](const std::string& bytes) {
    return PkeyPtr(quenta::DecodeRsaPrivateKeyDer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                          bytes.size()),
                   &EVP_PKEY_free);
  };
  // The key read is the key the tool wrote, and it signs.
  PkeyPtr expected = ReadPem(Keys::Get().rsa1024.pem);
  PkeyPtr key = decode(der);
  ASSERT_TRUE(key);
  EXPECT_EQ(EVP_PKEY_eq(key.get(), expected.get()), 1);
  BIGNUM* d1 = nullptr;
  BIGNUM* d2 = nullptr;
  EVP_PKEY_get_bn_param(key.get(), "d", &d1);
  EVP_PKEY_get_bn_param(expected.get(), "d", &d2);
  EXPECT_EQ(BN_cmp(d1, d2), 0);
  BN_clear_free(d1);
  BN_clear_free(d2);
  EXPECT_EQ(CBaseRSA::OwnFormatDigest(key.get()), Keys::Get().rsa1024.ownDigest);

  auto with = [&](int index, const std::string& content) {
    std::vector<std::string> n = numbers;
    n[index] = content;
    return DerSeq(n);
  };
  std::vector<std::string> eight(numbers.begin(), numbers.end() - 1);
  std::vector<std::string> ten = numbers;
  ten.push_back("\x01");
  std::string fiveByteLength = der;
  fiveByteLength.replace(1, 3, std::string("\x85\x00\x00\x00\x02\x5D", 6));
  struct Case {
    const char* name;
    std::string bytes;
    bool reads;
  } cases[] = {
      {"bytes after the structure are not its business", der + std::string("\x00\xFF", 2), true},
      {"a set instead of a sequence", std::string(1, '\x31') + der.substr(1), false},
      {"multi-prime version", with(0, "\x01"), false},
      {"eight numbers", DerSeq(eight), false},
      {"a tenth number inside", DerSeq(ten), false},
      {"negative modulus", with(1, "\x80" + numbers[1].substr(1)), false},
      {"empty integer", with(3, ""), false},
      {"a needless leading zero", with(2, std::string(1, '\0') + numbers[2]), false},
      {"zero private exponent", with(3, std::string(1, '\0')), false},
      {"zero modulus", with(1, std::string(1, '\0')), false},
      {"number over 16384 bits", with(3, std::string(1, '\x01') + std::string(2049, '\x55')), false},
      {"length in five bytes", fiveByteLength, false},
      {"an octet string in place of a number",
       der.substr(0, 4) + "\x04" + der.substr(5), false},
      {"empty input", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(decode(c.bytes) != nullptr, c.reads) << c.name;

  // No prefix of the key is a key.
  for (std::size_t n = 0; n < der.size(); ++n)
    EXPECT_FALSE(decode(der.substr(0, n))) << n << " bytes";
}

TEST(BaseRsaOwnFormat, FailedLoadKeepsThePreviousKey) {
  CBaseRSA rsa;
  std::string digest;
  ASSERT_EQ(rsa.LoadOwnFormat(WrappedHex(Keys::Get().rsa1024).c_str(), kPassword, digest), 0);
  EVP_PKEY* first = rsa.Key();
  EXPECT_EQ(rsa.LoadOwnFormat(WrappedHex(Keys::Get().rsa2048).c_str(), "nope", digest), 9);
  EXPECT_EQ(rsa.Key(), first);
  ASSERT_EQ(rsa.LoadOwnFormat(WrappedHex(Keys::Get().rsa2048).c_str(), kPassword, digest), 0);
  EXPECT_EQ(CBaseRSA::OwnFormatDigest(rsa.Key()), Keys::Get().rsa2048.ownDigest);
}

// ---------------------------------------------------------------- LoadPkcs8

std::string Pkcs8Hex(const std::string& pem, const std::string& options, const std::string& password) {
  TempDir dir;
  Sh("openssl pkcs8 -topk8 -in " + pem + " " + options + " -outform DER -passout pass:'" +
     password + "' -out " + dir.File("k.p8") + " 2>/dev/null");
  return Hex(ReadFile(dir.File("k.p8")));
}

TEST(BaseRsaPkcs8, EncryptionSchemesLoad) {
  const TestKey& k = Keys::Get().rsa2048;
  const char* schemes[] = {
      "-v2 des3",
      "-v2 aes-256-cbc",
      "-v1 PBE-SHA1-3DES",
      "-v1 PBE-SHA1-RC2-40 -provider legacy -provider default",
  };
  for (const char* scheme : schemes) {
    SCOPED_TRACE(scheme);
    std::string hex = Pkcs8Hex(k.pem, scheme, kPassword);
    CBaseRSA rsa;
    std::string digest;
    ASSERT_EQ(rsa.LoadPkcs8(hex.c_str(), kPassword, digest), 0);
    EXPECT_EQ(digest, k.pkcs8Digest);
    EXPECT_EQ(rsa.LoadPkcs8(hex.c_str(), "Correct horse 8", digest), 9);
    EXPECT_TRUE(digest.empty());
    EXPECT_EQ(CBaseRSA::Pkcs8Digest(rsa.Key()), k.pkcs8Digest);  // kept after the failure
  }
}

TEST(BaseRsaPkcs8, RefusedInputs) {
  TempDir dir;
  Sh("openssl pkcs8 -topk8 -nocrypt -in " + Keys::Get().rsa1024.pem + " -outform DER -out " +
     dir.File("plain.p8"));
  Sh("openssl pkcs8 -topk8 -v2 des3 -in " + Keys::Get().rsa1024.pem + " -passout pass:x -out " +
     dir.File("pem.p8"));
  struct Case {
    const char* name;
    std::string hex;
    const char* password;
    int code;
  } cases[] = {
      {"null text", "", kPassword, 1},
      {"not hex", "30 82", kPassword, 1},
      {"null password", Pkcs8Hex(Keys::Get().rsa1024.pem, "-v2 des3", kPassword), nullptr, 1},
      {"garbage", Hex("this is not a DER structure at all"), kPassword, 98},
      {"unencrypted PKCS#8", Hex(ReadFile(dir.File("plain.p8"))), kPassword, 98},
      {"PEM instead of DER", Hex(ReadFile(dir.File("pem.p8"))), "x", 98},
      {"EC key", Pkcs8Hex(Keys::Get().ec, "-v2 des3", kPassword), kPassword, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CBaseRSA rsa;
    std::string digest = "stale";
    EXPECT_EQ(rsa.LoadPkcs8(c.hex.empty() ? nullptr : c.hex.c_str(), c.password, digest), c.code);
    EXPECT_TRUE(digest.empty());
    EXPECT_EQ(rsa.Key(), nullptr);
  }
}

// ---------------------------------------------------------------- SoftwareOperation

class BaseRsaOperation : public ::testing::Test {
 protected:
  const TestKey& k = Keys::Get().rsa2048;
  std::string material = WrappedHex(k);
  TempDir dir;
  const std::string data = "Przelew 1234,56 PLN na rachunek 12 3456";

  int Run(int operation, const std::string& input, SecureBytes& result,
          const char* expected = nullptr) {
    return rsa.SoftwareOperation(material.c_str(), CBaseRSA::kFormatOwn, expected, kPassword,
                                 reinterpret_cast<const unsigned char*>(input.data()),
                                 input.size(), operation, result);
  }
  std::string Save(const std::string& name, const SecureBytes& bytes) {
    WriteFile(dir.File(name), std::string(bytes.begin(), bytes.end()));
    return dir.File(name);
  }
  bool Verifies(const char* md, const std::string& sigFile) {
    WriteFile(dir.File("data"), data);
    std::string out;
    int rc = RunCommand("openssl dgst " + std::string(md) + " -verify " + k.pub + " -signature " +
                            sigFile + " " + dir.File("data") + " 2>&1",
                        &out);
    return rc == 0 && out.find("Verified OK") != std::string::npos;
  }

  CBaseRSA rsa;
};

TEST_F(BaseRsaOperation, Sha1AndSha256SignaturesVerify) {
  SecureBytes sig1, sig256;
  ASSERT_EQ(Run(CBaseRSA::kOpSignSha1, data, sig1), 0);
  ASSERT_EQ(Run(CBaseRSA::kOpSignSha256, data, sig256), 0);
  EXPECT_EQ(sig1.size(), 256u);
  EXPECT_EQ(sig256.size(), 256u);
  EXPECT_TRUE(Verifies("-sha1", Save("sig1", sig1)));
  EXPECT_TRUE(Verifies("-sha256", Save("sig256", sig256)));
  // The DigestInfo names the digest: each verifies only as itself.
  EXPECT_FALSE(Verifies("-sha1", dir.File("sig256")));
  EXPECT_FALSE(Verifies("-sha256", dir.File("sig1")));
}

TEST_F(BaseRsaOperation, RawPrivateOperationRecoversWithPublicKey) {
  for (const std::string& input : {std::string("0123456789ABCDEF0123456789ABCDEF"),
                                   std::string(245, '\x7F'), std::string()}) {
    SecureBytes out;
    ASSERT_EQ(Run(CBaseRSA::kOpRawPrivate, input, out), 0);
    ASSERT_EQ(out.size(), 256u);
    std::string recovered;
    ASSERT_EQ(RunCommand("openssl pkeyutl -verifyrecover -pubin -inkey " + k.pub + " -in " +
                             Save("raw", out),
                         &recovered),
              0);
    EXPECT_EQ(recovered, input);
  }
  SecureBytes out;
  EXPECT_EQ(Run(CBaseRSA::kOpRawPrivate, std::string(246, 'x'), out), 502);  // k - 11 at most
  EXPECT_TRUE(out.empty());
}

TEST_F(BaseRsaOperation, DecryptsWhatTheOpensslToolEncrypted) {
  const std::string secret = "session key 0123456789abcdef";
  WriteFile(dir.File("plain"), secret);
  Sh("openssl pkeyutl -encrypt -pubin -inkey " + k.pub + " -in " + dir.File("plain") + " -out " +
     dir.File("ct"));
  SecureBytes out;
  ASSERT_EQ(Run(CBaseRSA::kOpDecrypt, ReadFile(dir.File("ct")), out), 0);
  EXPECT_EQ(std::string(out.begin(), out.end()), secret);

  EXPECT_EQ(Run(CBaseRSA::kOpDecrypt, "", out), 502);
  EXPECT_EQ(Run(CBaseRSA::kOpDecrypt, std::string(300, 'x'), out), 502);  // longer than the modulus
  EXPECT_TRUE(out.empty());
}

TEST_F(BaseRsaOperation, ExpectedDigest) {
  const std::string full = k.ownDigest;
  std::string lower = full;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  struct Case {
    const char* name;
    std::optional<std::string> expected;  // nullopt: none given
    int code;
  } cases[] = {
      {"none given", std::nullopt, 0},
      {"whole digest", full, 0},
      {"prefix", full.substr(0, 8), 0},
      {"one character", full.substr(0, 1), 0},
      {"empty text", "", 36},
      {"another key's digest", Keys::Get().rsa1024.ownDigest, 36},
      {"PKCS#8 digest of the same key", k.pkcs8Digest, 36},
      {"longer than the digest", full + "00", 36},
      {"lower case", lower, 36},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SecureBytes sig;
    EXPECT_EQ(Run(CBaseRSA::kOpSignSha1, data, sig, c.expected ? c.expected->c_str() : nullptr),
              c.code);
    EXPECT_EQ(sig.empty(), c.code != 0);
  }
}

TEST_F(BaseRsaOperation, RefusedRequests) {
  SecureBytes out;
  for (int op : {2, 5, -1}) {
    SCOPED_TRACE(op);
    EXPECT_EQ(Run(op, data, out), 1);
    EXPECT_TRUE(out.empty());
  }
  for (int format : {1, 3, -1}) {
    EXPECT_EQ(rsa.SoftwareOperation(material.c_str(), format, nullptr, kPassword,
                                    reinterpret_cast<const unsigned char*>(data.data()),
                                    data.size(), CBaseRSA::kOpSignSha1, out),
              1);
  }
  EXPECT_EQ(rsa.SoftwareOperation(material.c_str(), CBaseRSA::kFormatOwn, nullptr, kPassword,
                                  nullptr, 5, CBaseRSA::kOpSignSha1, out),
            1);
  // Loader failures come back unchanged.
  EXPECT_EQ(rsa.SoftwareOperation(material.c_str(), CBaseRSA::kFormatOwn, nullptr, "wrong",
                                  reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), CBaseRSA::kOpSignSha1, out),
            9);
  EXPECT_EQ(rsa.SoftwareOperation("00", CBaseRSA::kFormatOwn, nullptr, kPassword,
                                  reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), CBaseRSA::kOpSignSha1, out),
            40);
  EXPECT_EQ(rsa.SoftwareOperation(Hex("junk").c_str(), CBaseRSA::kFormatPkcs8, nullptr, kPassword,
                                  reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), CBaseRSA::kOpSignSha1, out),
            98);
  EXPECT_TRUE(out.empty());
}

TEST_F(BaseRsaOperation, Pkcs8MaterialSignsWithItsOwnDigest) {
  std::string p8 = Pkcs8Hex(k.pem, "-v2 des3", kPassword);
  SecureBytes sig;
  ASSERT_EQ(rsa.SoftwareOperation(p8.c_str(), CBaseRSA::kFormatPkcs8,
                                  k.pkcs8Digest.substr(0, 20).c_str(), kPassword,
                                  reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), CBaseRSA::kOpSignSha256, sig),
            0);
  EXPECT_TRUE(Verifies("-sha256", Save("sig", sig)));
  EXPECT_EQ(rsa.SoftwareOperation(p8.c_str(), CBaseRSA::kFormatPkcs8, k.ownDigest.c_str(),
                                  kPassword, reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), CBaseRSA::kOpSignSha256, sig),
            36);
}

// ---------------------------------------------------------------- secrets

std::vector<std::pair<std::size_t, bool>> g_freed;  // size, all zero

void RecordFreed(const void* p, std::size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  bool zero = true;
  for (std::size_t i = 0; i < n; ++i) zero = zero && b[i] == 0;
  g_freed.emplace_back(n, zero);
}

TEST(BaseRsaSecrets, DecryptedKeyAndResultsLeaveWiped) {
  const TestKey& k = Keys::Get().rsa1024;
  std::string material = WrappedHex(k);
  TempDir dir;
  WriteFile(dir.File("plain"), "a secret");
  Sh("openssl pkeyutl -encrypt -pubin -inkey " + k.pub + " -in " + dir.File("plain") + " -out " +
     dir.File("ct"));
  std::string ct = ReadFile(dir.File("ct"));

  g_freed.clear();
  quenta::SetWipeObserver(&RecordFreed);
  {
    CBaseRSA rsa;
    SecureBytes out;
    ASSERT_EQ(rsa.SoftwareOperation(material.c_str(), CBaseRSA::kFormatOwn, nullptr, kPassword,
                                    reinterpret_cast<const unsigned char*>(ct.data()), ct.size(),
                                    CBaseRSA::kOpDecrypt, out),
              0);
    ASSERT_EQ(std::string(out.begin(), out.end()), "a secret");
  }
  quenta::SetWipeObserver(nullptr);

  int workBuffers = 0;
  for (const auto& block : g_freed) {
    EXPECT_TRUE(block.second) << "a freed block of " << block.first << " bytes was not wiped";
    if (block.first == CBaseRSA::kWorkBufferSize) ++workBuffers;
  }
  EXPECT_EQ(workBuffers, 2);  // decoded armour and decrypted DER
  EXPECT_GE(g_freed.size(), 4u);  // plus the decoded hex text and the result
}

}  // namespace
