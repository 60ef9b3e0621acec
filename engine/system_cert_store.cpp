#include "engine/system_cert_store.h"

#include <cstring>
#include <new>
#include <vector>

#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "platform/nss_store.h"

namespace quenta {

namespace {

using Status = ICertStoreBackend::Status;

CertStorePasswordPrompt g_prompt = nullptr;

// Closes the store on every way out of an operation.
class OpenStore {
 public:
  explicit OpenStore(ICertStoreBackend& backend) : backend_(backend) {}
  ~OpenStore() { backend_.Close(); }
  OpenStore(const OpenStore&) = delete;
  OpenStore& operator=(const OpenStore&) = delete;

 private:
  ICertStoreBackend& backend_;
};

// Destroys the hash once the signing is over, whatever its outcome.
class OpenHash {
 public:
  explicit OpenHash(ICertStoreBackend& backend) : backend_(backend) {}
  ~OpenHash() { backend_.DestroyHash(); }
  OpenHash(const OpenHash&) = delete;
  OpenHash& operator=(const OpenHash&) = delete;

 private:
  ICertStoreBackend& backend_;
};

}  // namespace

CSystemCertStore::CSystemCertStore() : backend_(MakeNssCertStore()) {}

CSystemCertStore::CSystemCertStore(std::unique_ptr<ICertStoreBackend> backend)
    : backend_(std::move(backend)) {}

CSystemCertStore::~CSystemCertStore() = default;

void CSystemCertStore::SetPasswordPrompt(CertStorePasswordPrompt prompt) { g_prompt = prompt; }

CertStorePasswordPrompt CSystemCertStore::PasswordPrompt() { return g_prompt; }

std::size_t CSystemCertStore::DerSequenceLength(const unsigned char* bytes, std::size_t length) {
  if (!bytes || length < 2 || bytes[0] != 0x30) return 0;
  std::size_t header = 2;
  std::size_t body = bytes[1];
  if (body & 0x80) {
    const std::size_t count = body & 0x7F;
    // Definite lengths only, in the fewest bytes a certificate could need.
    if (count == 0 || count > 4 || length < 2 + count) return 0;
    body = 0;
    for (std::size_t i = 0; i < count; ++i) body = (body << 8) | bytes[2 + i];
    header += count;
  }
  if (body > length - header) return 0;
  return header + body;
}

int CSystemCertStore::CertStoreOperation(int operation, const char* certificate,
                                         const unsigned char* data, std::size_t length,
                                         SecureBytes& result) {
  result.clear();
  // Refused before the store is touched, so that nobody is asked to unlock
  // it for a request that cannot be carried out.
  if (operation != 1 && operation != 3) return kErrArgument;
  if (!certificate || (!data && length > 0)) return kErrArgument;
  if (operation == 1 && length > kDecryptBufferSize) return kErrArgument;

  std::vector<unsigned char> der(kCertificateBufferSize);
  std::size_t capacity = der.size();
  PemDecode(certificate, std::strlen(certificate), kPemCertificate, der.data(), &capacity);
  if (capacity == kCertificateBufferSize) return kErrCertDecode;
  // Whatever follows the certificate's own encoding is not compared.
  const std::size_t certLength = DerSequenceLength(der.data(), capacity);

  if (!backend_) return kErrStoreOpen;
  if (backend_->Open() != Status::kOk) {
    backend_->Close();
    return kErrStoreOpen;
  }
  OpenStore store(*backend_);

  if (certLength == 0 || backend_->FindCertificate(der.data(), certLength) != Status::kOk)
    return kErrCertNotFound;
  switch (backend_->AcquirePrivateKey(g_prompt)) {
    case Status::kOk: break;
    case Status::kCancelled: return kErrStoreSignCancelled;
    default: return kErrStoreKeyAcquire;
  }
  return operation == 3 ? Sign(data, length, result) : Decrypt(data, length, result);
}

int CSystemCertStore::Sign(const unsigned char* data, std::size_t length, SecureBytes& result) {
  if (backend_->CreateSha1Hash() != Status::kOk) {
    backend_->DestroyHash();
    return kErrStoreHashCreate;
  }
  OpenHash hash(*backend_);
  static const unsigned char kNoData = 0;
  if (backend_->HashData(data ? data : &kNoData, length) != Status::kOk) return kErrStoreHash;
  std::size_t size = 0;
  if (backend_->SignatureSize(size) != Status::kOk || size == 0) return kErrStoreSigSize;

  SecureBytes signature;
  for (int attempt = 1; attempt <= kSignAttempts; ++attempt) {
    try {
      signature.assign(size, 0);
    } catch (const std::bad_alloc&) {
      return kErrNoMemory;
    }
    switch (backend_->SignHash(signature)) {
      case Status::kOk:
        if (signature.empty() || signature.size() > size) return kErrStoreSign;
        result.swap(signature);
        return kOk;
      case Status::kCancelled:
        return kErrStoreSignCancelled;
      case Status::kRetry:
        continue;
      default:
        return kErrStoreSign;
    }
  }
  return kErrStoreSign;
}

int CSystemCertStore::Decrypt(const unsigned char* data, std::size_t length,
                              SecureBytes& result) {
  if (backend_->OpenExchangeKey() != Status::kOk) return kErrExchangeKey;
  SecureBytes block(data, data + length);
  SecureBytes plain;
  if (backend_->Decrypt(block.data(), block.size(), plain) != Status::kOk) return kErrStoreDecrypt;
  result.swap(plain);
  return kOk;
}

}  // namespace quenta
