#include "platform/nss_store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <cert.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <secerr.h>
#include <secoid.h>

#include "engine/encoding.h"

namespace quenta {

const char kNssDatabaseEnv[] = "QUENTA_NSS_DB";

namespace {

using Status = ICertStoreBackend::Status;

constexpr int kStoreKind = 3;
constexpr std::size_t kPasswordSize = 1024;
// The database's password is asked for at most this many times in one
// operation; a prompt that keeps answering a wrong password ends it.
constexpr int kLoginAttempts = 3;
constexpr unsigned int kSha1Length = 20;

// DER prefix of a DigestInfo naming SHA-1, followed by the 20 digest bytes.
const unsigned char kSha1DigestInfo[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                         0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return std::string();
}

// The directory part of a database name, for showing it to the user.
std::string DatabaseDirectory(const std::string& name) {
  const std::size_t colon = name.find(':');
  if (colon != std::string::npos && name.find('/') > colon) return name.substr(colon + 1);
  return name;
}

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

class CNssCertStore : public ICertStoreBackend {
 public:
  ~CNssCertStore() override { Close(); }

  Status Open() override {
    Close();
    name_ = NssDatabaseName();
    if (name_.empty()) return Status::kFailed;
    // No builtin roots: nothing here verifies a chain.
    context_ = NSS_InitContext(name_.c_str(), "", "", SECMOD_DB, nullptr,
                               NSS_INIT_READONLY | NSS_INIT_NOROOTINIT);
    return context_ ? Status::kOk : Status::kFailed;
  }

  Status FindCertificate(const unsigned char* der, std::size_t length) override {
    if (!context_ || !der || length == 0) return Status::kFailed;
    SECItem item;
    item.type = siBuffer;
    item.data = const_cast<unsigned char*>(der);
    item.len = static_cast<unsigned int>(length);
    certificate_ = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &item);
    return certificate_ ? Status::kOk : Status::kFailed;
  }

  Status AcquirePrivateKey(CertStorePasswordPrompt prompt) override {
    if (!certificate_) return Status::kFailed;
    PK11SlotList* slots = PK11_GetAllSlotsForCert(certificate_, nullptr);
    if (!slots) return Status::kFailed;
    Status unlocked = Status::kOk;
    for (PK11SlotListElement* e = PK11_GetFirstSafe(slots); e; e = PK11_GetNextSafe(slots, e, PR_FALSE)) {
      if (!PK11_NeedLogin(e->slot) || PK11_IsLoggedIn(e->slot, nullptr)) continue;
      unlocked = LogIn(e->slot, prompt);
      if (unlocked != Status::kOk) {
        PK11_FreeSlotListElement(slots, e);
        break;
      }
    }
    PK11_FreeSlotList(slots);
    // A slot left locked would make NSS call the process's password
    // function, which belongs to whoever else uses NSS here.
    if (unlocked != Status::kOk) return unlocked;

    key_ = PK11_FindKeyByAnyCert(certificate_, nullptr);
    if (!key_ || SECKEY_GetPrivateKeyType(key_) != rsaKey) return Status::kFailed;
    return Status::kOk;
  }

  Status CreateSha1Hash() override {
    DestroyHash();
    hash_ = PK11_CreateDigestContext(SEC_OID_SHA1);
    if (!hash_ || PK11_DigestBegin(hash_) != SECSuccess) return Status::kFailed;
    return Status::kOk;
  }

  Status HashData(const unsigned char* data, std::size_t length) override {
    if (!hash_) return Status::kFailed;
    // PK11_DigestOp takes an unsigned length: feed large inputs in pieces.
    while (length > 0) {
      const unsigned int piece = length > (1u << 30) ? (1u << 30) : static_cast<unsigned int>(length);
      if (PK11_DigestOp(hash_, data, piece) != SECSuccess) return Status::kFailed;
      data += piece;
      length -= piece;
    }
    return Status::kOk;
  }

  Status SignatureSize(std::size_t& size) override {
    if (!key_) return Status::kFailed;
    const int n = PK11_SignatureLen(key_);
    if (n <= 0) return Status::kFailed;
    size = static_cast<std::size_t>(n);
    return Status::kOk;
  }

  Status SignHash(SecureBytes& signature) override {
    if (!key_ || !hash_ || signature.empty()) return Status::kFailed;
    if (!digestDone_) {
      unsigned int length = 0;
      if (PK11_DigestFinal(hash_, digest_, &length, sizeof digest_) != SECSuccess ||
          length != kSha1Length)
        return Status::kFailed;
      digestDone_ = true;
    }
    unsigned char info[sizeof kSha1DigestInfo + kSha1Length];
    std::memcpy(info, kSha1DigestInfo, sizeof kSha1DigestInfo);
    std::memcpy(info + sizeof kSha1DigestInfo, digest_, kSha1Length);
    SECItem in{siBuffer, info, static_cast<unsigned int>(sizeof info)};
    SECItem out{siBuffer, signature.data(), static_cast<unsigned int>(signature.size())};
    // PKCS#1 v1.5 over the DigestInfo; NSS writes the big-endian value.
    if (PK11_Sign(key_, &out, &in) != SECSuccess) return Status::kFailed;
    signature.resize(out.len);
    return Status::kOk;
  }

  void DestroyHash() override {
    if (hash_) PK11_DestroyContext(hash_, PR_TRUE);
    hash_ = nullptr;
    digestDone_ = false;
    std::memset(digest_, 0, sizeof digest_);
  }

  Status OpenExchangeKey() override { return key_ ? Status::kOk : Status::kFailed; }

  Status Decrypt(const unsigned char* block, std::size_t length, SecureBytes& plain) override {
    if (!key_) return Status::kFailed;
    const int modulus = PK11_GetPrivateModulusLen(key_);
    if (modulus <= 0 || length == 0 || length > static_cast<std::size_t>(modulus))
      return Status::kFailed;
    // A block may arrive without its leading zero bytes: it is a number.
    SecureBytes padded(static_cast<std::size_t>(modulus), 0);
    std::memcpy(padded.data() + padded.size() - length, block, length);
    SecureBytes out(static_cast<std::size_t>(modulus), 0);
    unsigned int outLength = 0;
    if (PK11_PrivDecryptPKCS1(key_, out.data(), &outLength, static_cast<unsigned int>(out.size()),
                              padded.data(), static_cast<unsigned int>(padded.size())) !=
            SECSuccess ||
        outLength > out.size())
      return Status::kFailed;
    out.resize(outLength);
    plain.swap(out);
    return Status::kOk;
  }

  void Close() override {
    DestroyHash();
    if (key_) SECKEY_DestroyPrivateKey(key_);
    key_ = nullptr;
    if (certificate_) CERT_DestroyCertificate(certificate_);
    certificate_ = nullptr;
    // Only the logins this store made are undone; a slot someone else
    // unlocked stays as they left it.
    for (PK11SlotInfo* slot : loggedIn_) {
      PK11_Logout(slot);
      PK11_FreeSlot(slot);
    }
    loggedIn_.clear();
    if (context_) NSS_ShutdownContext(context_);
    context_ = nullptr;
  }

 private:
  Status LogIn(PK11SlotInfo* slot, CertStorePasswordPrompt prompt) {
    if (!prompt) return Status::kFailed;
    std::string label = TrimRight(PK11_GetTokenName(slot) ? PK11_GetTokenName(slot) : "");
    const std::string directory = DatabaseDirectory(name_);
    label += label.empty() ? directory : " (" + directory + ")";
    std::string shown;
    if (!Utf8ToWin1250(label, shown)) shown = label;

    for (int attempt = 0; attempt < kLoginAttempts; ++attempt) {
      char buffer[kPasswordSize] = {0};
      const int answer = prompt(kStoreKind, shown.c_str(), buffer, sizeof buffer);
      buffer[sizeof buffer - 1] = '\0';
      if (answer != 1) {
        SecureWipe(buffer, sizeof buffer);
        return Status::kCancelled;
      }
      const SECStatus rv = PK11_CheckUserPassword(slot, buffer);
      SecureWipe(buffer, sizeof buffer);
      if (rv == SECSuccess) {
        loggedIn_.push_back(PK11_ReferenceSlot(slot));
        return Status::kOk;
      }
      if (PORT_GetError() != SEC_ERROR_BAD_PASSWORD) return Status::kFailed;
    }
    return Status::kFailed;
  }

  std::string name_;
  NSSInitContext* context_ = nullptr;
  CERTCertificate* certificate_ = nullptr;
  SECKEYPrivateKey* key_ = nullptr;
  PK11Context* hash_ = nullptr;
  unsigned char digest_[kSha1Length] = {0};
  bool digestDone_ = false;
  std::vector<PK11SlotInfo*> loggedIn_;
};

}  // namespace

std::string NssDatabaseName() {
  if (const char* env = std::getenv(kNssDatabaseEnv); env && *env) {
    const std::string name = env;
    return DatabaseDirectory(name) == name ? "sql:" + name : name;
  }
  const std::string home = HomeDirectory();
  if (home.empty()) return std::string();
  return "sql:" + home + "/.pki/nssdb";
}

std::unique_ptr<ICertStoreBackend> MakeNssCertStore() {
  return std::make_unique<CNssCertStore>();
}

}  // namespace quenta
