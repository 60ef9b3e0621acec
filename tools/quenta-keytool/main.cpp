// quenta-keytool: the integrators' tool for software keys.
//
//   wrap   --in KEY [--out FILE.prv | --hex]       RSA key (PEM or DER) -> own format
//   unwrap (--in FILE.prv | --hex-in TEXT) [--out KEY.pem] [--format pkcs8|pkcs1]
//   digest --in KEY                                 own-format, PKCS#8 and token digests
//
// The password comes from --password P, --password-file F (first line) or
// the environment variable QUENTA_KEY_PASSWORD, so that it need not appear
// on a command line.
//
// Exit codes: 0 success, 1 usage, 2 a file could not be read or written,
// 3 the key could not be read, written or decrypted.

#include <fcntl.h>
#include <unistd.h>

#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/base_rsa.h"
#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "engine/secure.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitIo = 2;
constexpr int kExitKey = 3;
constexpr const char* kPasswordVariable = "QUENTA_KEY_PASSWORD";

const char kUsage[] =
    "usage:\n"
    "  quenta-keytool wrap   --in KEY.pem|KEY.der [--out FILE.prv | --hex] [PASSWORD]\n"
    "  quenta-keytool unwrap --in FILE.prv | --hex-in TEXT [--out KEY.pem]\n"
    "                        [--format pkcs8|pkcs1] [PASSWORD]\n"
    "  quenta-keytool digest --in KEY [PASSWORD]\n"
    "PASSWORD: --password P | --password-file FILE | environment QUENTA_KEY_PASSWORD\n"
    "wrap writes the armoured key text to standard output unless --out is given;\n"
    "--hex writes the hexadecimal form SetKey takes. digest reads a plain key, or an\n"
    "own-format or encrypted PKCS#8 key file when a password is given.\n";

void Error(const char* fmt, const char* a = "", const char* b = "") {
  std::fprintf(stderr, "quenta-keytool: ");
  std::fprintf(stderr, fmt, a, b);
  std::fprintf(stderr, "\n");
}

int Usage(const char* problem, const char* detail = "") {
  Error(problem, detail);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

const char* DescribeCode(int code) {
  switch (code) {
    case quenta::kErrBadPassword: return "wrong password, or the key is damaged";
    case quenta::kErrHexData: return "not an own-format key (no BEGIN DATA armour, or a damaged blob)";
    case quenta::kErrPkcs8Parse: return "not an encrypted PKCS#8 key file";
    case quenta::kErrKeyKindUnusable: return "not an RSA private key";
    case quenta::kErrKeyDerivation: return "key derivation failed";
    case quenta::kErrCipherInit: return "the cipher could not be set up";
    case quenta::kErrArgument: return "missing or malformed input";
    case quenta::kErrNoMemory: return "out of memory";
    default: return "key operation failed";
  }
}

int KeyError(const char* what, int code) {
  std::fprintf(stderr, "quenta-keytool: %s: %s (code %d)\n", what, DescribeCode(code), code);
  return kExitKey;
}

bool ReadWhole(const std::string& path, quenta::SecureBytes& out) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char chunk[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) { ok = false; break; }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  quenta::SecureWipe(chunk, sizeof chunk);
  close(fd);
  if (!ok) out.clear();
  return ok;
}

// Writes to path (mode 0600, replacing it) or to standard output for "".
bool WriteWhole(const std::string& path, const unsigned char* data, std::size_t length) {
  int fd = path.empty() ? STDOUT_FILENO
                        : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) { ok = false; break; }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  if (!path.empty() && close(fd) != 0) ok = false;
  return ok;
}

bool WriteText(const std::string& path, const std::string& text) {
  return WriteWhole(path, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

int RefuseEncrypted(char*, int, int, void*) { return 0; }

// A plain (unencrypted) private key in PEM or DER, any structure OpenSSL
// knows. Null if the bytes hold none.
EVP_PKEY* DecodePlainKey(const quenta::SecureBytes& bytes) {
  EVP_PKEY* key = nullptr;
  OSSL_DECODER_CTX* dctx = OSSL_DECODER_CTX_new_for_pkey(
      &key, nullptr, nullptr, nullptr, OSSL_KEYMGMT_SELECT_KEYPAIR, nullptr, nullptr);
  if (dctx) {
    OSSL_DECODER_CTX_set_pem_password_cb(dctx, &RefuseEncrypted, nullptr);
    const unsigned char* p = bytes.data();
    std::size_t left = bytes.size();
    if (OSSL_DECODER_from_data(dctx, &p, &left) != 1) {
      EVP_PKEY_free(key);
      key = nullptr;
    }
    OSSL_DECODER_CTX_free(dctx);
  }
  ERR_clear_error();
  return key;
}

// Replaces a PEM "ENCRYPTED PRIVATE KEY" text by its DER bytes; leaves
// anything else as it is.
void PemPkcs8ToDer(quenta::SecureBytes& bytes) {
  BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  unsigned char* der = nullptr;
  long derLength = 0;
  if (bio && PEM_bytes_read_bio(&der, &derLength, nullptr, PEM_STRING_PKCS8, bio, nullptr,
                                nullptr) == 1 && derLength > 0)
    bytes.assign(der, der + derLength);
  OPENSSL_free(der);
  BIO_free(bio);
  ERR_clear_error();
}

struct Options {
  std::string command;
  std::string in;
  std::string hexIn;
  bool haveHexIn = false;
  std::string out;
  bool hex = false;
  std::string format = "pkcs8";
  quenta::SecureText password;
  bool havePassword = false;
  std::string passwordFile;
};

// The password in order of preference: --password, --password-file, the
// environment. 0 when one was found, an exit code otherwise.
int ResolvePassword(Options& o, bool required) {
  if (o.havePassword) return kExitOk;
  if (!o.passwordFile.empty()) {
    quenta::SecureBytes content;
    if (!ReadWhole(o.passwordFile, content)) {
      Error("cannot read the password file %s: %s", o.passwordFile.c_str(), std::strerror(errno));
      return kExitIo;
    }
    std::size_t n = 0;
    while (n < content.size() && content[n] != '\n' && content[n] != '\r') ++n;
    o.password.assign(reinterpret_cast<const char*>(content.data()), n);
    o.havePassword = true;
    return kExitOk;
  }
  if (const char* env = std::getenv(kPasswordVariable)) {
    o.password.assign(env);
    o.havePassword = true;
    return kExitOk;
  }
  if (required)
    return Usage("no password: give --password, --password-file or set %s", kPasswordVariable);
  return kExitOk;
}

int ReadInput(const std::string& path, quenta::SecureBytes& bytes) {
  if (!ReadWhole(path, bytes)) {
    Error("cannot read %s: %s", path.c_str(), std::strerror(errno));
    return kExitIo;
  }
  return kExitOk;
}

int Wrap(Options& o) {
  if (o.in.empty()) return Usage("wrap needs --in KEY");
  if (o.hex && !o.out.empty()) return Usage("--hex and --out cannot be combined");
  if (int rc = ResolvePassword(o, true)) return rc;
  if (o.password.empty()) return Usage("refusing to wrap a key under an empty password");

  quenta::SecureBytes bytes;
  if (int rc = ReadInput(o.in, bytes)) return rc;
  EVP_PKEY* key = DecodePlainKey(bytes);
  if (!key) {
    Error("%s holds no unencrypted private key in PEM or DER", o.in.c_str());
    return kExitKey;
  }
  std::string armoured;
  int code = quenta::CBaseRSA::WrapOwnFormat(key, o.password.c_str(), armoured);
  EVP_PKEY_free(key);
  if (code != quenta::kOk) return KeyError("cannot wrap the key", code);

  std::string text = armoured;
  if (o.hex) {
    if (quenta::HexEncode(reinterpret_cast<const unsigned char*>(armoured.data()),
                          armoured.size(), text) != quenta::kOk)
      return KeyError("cannot encode the key", quenta::kErrNoMemory);
    text += "\n";
  }
  if (!WriteText(o.out, text)) {
    Error("cannot write %s: %s", o.out.empty() ? "standard output" : o.out.c_str(),
          std::strerror(errno));
    return kExitIo;
  }
  return kExitOk;
}

// Hex text of the own-format armour from --in (armoured text) or --hex-in.
int OwnFormatHex(const Options& o, quenta::SecureText& hex) {
  if (o.haveHexIn) {
    std::string trimmed = o.hexIn;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r' ||
                                trimmed.back() == ' '))
      trimmed.pop_back();
    hex.assign(trimmed.c_str(), trimmed.size());
    return kExitOk;
  }
  quenta::SecureBytes bytes;
  if (int rc = ReadInput(o.in, bytes)) return rc;
  if (quenta::HexEncode(bytes.data(), bytes.size(), hex) != quenta::kOk)
    return KeyError("cannot encode the key file", quenta::kErrNoMemory);
  return kExitOk;
}

int Unwrap(Options& o) {
  if (o.in.empty() == !o.haveHexIn) return Usage("unwrap needs exactly one of --in and --hex-in");
  if (o.format != "pkcs8" && o.format != "pkcs1")
    return Usage("unknown --format %s (pkcs8 or pkcs1)", o.format.c_str());
  if (int rc = ResolvePassword(o, true)) return rc;

  quenta::SecureText hex;
  if (int rc = OwnFormatHex(o, hex)) return rc;
  quenta::CBaseRSA rsa;
  std::string digest;
  int code = rsa.LoadOwnFormat(hex.c_str(), o.password.c_str(), digest);
  if (code != quenta::kOk) return KeyError("cannot open the key", code);

  unsigned char* pem = nullptr;
  std::size_t pemLength = 0;
  OSSL_ENCODER_CTX* ectx = OSSL_ENCODER_CTX_new_for_pkey(
      rsa.Key(), OSSL_KEYMGMT_SELECT_KEYPAIR, "PEM",
      o.format == "pkcs1" ? "type-specific" : "PrivateKeyInfo", nullptr);
  bool encoded = ectx && OSSL_ENCODER_CTX_get_num_encoders(ectx) > 0 &&
                 OSSL_ENCODER_to_data(ectx, &pem, &pemLength) == 1;
  OSSL_ENCODER_CTX_free(ectx);
  ERR_clear_error();
  if (!encoded) {
    OPENSSL_clear_free(pem, pemLength);
    return KeyError("cannot encode the key", quenta::kErrKeyKindUnusable);
  }
  bool written = WriteWhole(o.out, pem, pemLength);
  int writeErrno = errno;
  OPENSSL_clear_free(pem, pemLength);
  if (!written) {
    Error("cannot write %s: %s", o.out.empty() ? "standard output" : o.out.c_str(),
          std::strerror(writeErrno));
    return kExitIo;
  }
  return kExitOk;
}

int Digest(Options& o) {
  if (o.in.empty()) return Usage("digest needs --in KEY");
  if (int rc = ResolvePassword(o, false)) return rc;
  quenta::SecureBytes bytes;
  if (int rc = ReadInput(o.in, bytes)) return rc;

  quenta::CBaseRSA rsa;
  EVP_PKEY* plain = DecodePlainKey(bytes);
  EVP_PKEY* key = plain;
  if (!key) {
    if (!o.havePassword) {
      Error("%s holds no unencrypted private key; give the password of an encrypted one",
            o.in.c_str());
      return kExitKey;
    }
    static const char kBegin[] = "-----BEGIN DATA-----";
    bool armoured = std::search(bytes.begin(), bytes.end(), kBegin,
                                kBegin + sizeof kBegin - 1) != bytes.end();
    // The engine reads PKCS#8 files as DER; a PEM one is unpacked here.
    if (!armoured) PemPkcs8ToDer(bytes);
    quenta::SecureText hex;
    if (quenta::HexEncode(bytes.data(), bytes.size(), hex) != quenta::kOk)
      return KeyError("cannot encode the key file", quenta::kErrNoMemory);
    std::string ignored;
    int code = armoured ? rsa.LoadOwnFormat(hex.c_str(), o.password.c_str(), ignored)
                        : rsa.LoadPkcs8(hex.c_str(), o.password.c_str(), ignored);
    if (code != quenta::kOk) return KeyError("cannot open the key", code);
    key = rsa.Key();
  }

  std::string own = quenta::CBaseRSA::OwnFormatDigest(key);
  std::string pkcs8 = quenta::CBaseRSA::Pkcs8Digest(key);
  std::string token = quenta::CBaseRSA::TokenDigest(key);
  EVP_PKEY_free(plain);
  if (own.empty() || pkcs8.empty() || token.empty()) {
    Error("%s is not an RSA key", o.in.c_str());
    return kExitKey;
  }
  std::printf("own-format digest: %s\npkcs8 digest:      %s\ntoken digest:      %s\n",
              own.c_str(), pkcs8.c_str(), token.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitIo;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command");
  Options o;
  o.command = argv[1];
  if (o.command == "--help" || o.command == "-h" || o.command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  int passwordSources = 0;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    bool takesValue = arg == "--in" || arg == "--out" || arg == "--hex-in" ||
                      arg == "--password" || arg == "--password-file" || arg == "--format";
    if (!takesValue) {
      if (arg == "--hex") { o.hex = true; continue; }
      return Usage("unknown argument %s", arg.c_str());
    }
    if (i + 1 >= argc) return Usage("%s needs a value", arg.c_str());
    char* value = argv[++i];
    if (arg == "--in") o.in = value;
    else if (arg == "--out") o.out = value;
    else if (arg == "--hex-in") { o.hexIn = value; o.haveHexIn = true; }
    else if (arg == "--format") o.format = value;
    else if (arg == "--password-file") { o.passwordFile = value; ++passwordSources; }
    else {
      o.password.assign(value);
      o.havePassword = true;
      ++passwordSources;
      // Keep the password out of the process's visible command line.
      quenta::SecureWipe(value, std::strlen(value));
    }
  }
  if (passwordSources > 1) return Usage("give only one of --password and --password-file");

  if (o.command == "wrap") {
    if (o.haveHexIn) return Usage("wrap takes --in, not --hex-in");
    return Wrap(o);
  }
  if (o.command == "unwrap") {
    if (o.hex) return Usage("unwrap takes --hex-in, not --hex");
    return Unwrap(o);
  }
  if (o.command == "digest") {
    if (o.hex || o.haveHexIn || !o.out.empty()) return Usage("digest takes only --in and a password");
    return Digest(o);
  }
  return Usage("unknown command %s", o.command.c_str());
}
