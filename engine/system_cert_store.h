// Keys of the user's system certificate store, used through the store's
// key provider. The class holds the order of the steps and their result
// codes; the store itself is reached through ICertStoreBackend, which the
// platform supplies (platform/nss_store.h on Linux: the user's NSS database).
#pragma once

#include <cstddef>
#include <memory>

#include "engine/secure.h"

namespace quenta {

// Asks the user for a password: kind is the key kind asking (3, the store),
// label names what the password opens (Windows-1250); buffer receives the
// zero-terminated text, at most size - 1 bytes. Returns the dialog's
// answer: 1 = OK. The same shape as the engine's PasswordCallback.
using CertStorePasswordPrompt = int (*)(int kind, const char* label, char* buffer,
                                        std::size_t size);

// One store of certificates with provider-held private keys. The calls of
// one operation come in this order: Open, FindCertificate,
// AcquirePrivateKey, then CreateSha1Hash, HashData, SignatureSize,
// SignHash (repeated while it answers kRetry) and DestroyHash, or
// OpenExchangeKey and Decrypt. Close ends every operation on every path,
// a failed Open included, and releases whatever the operation holds.
class ICertStoreBackend {
 public:
  enum class Status {
    kOk,
    kFailed,
    kCancelled,  // the user cancelled a prompt of the store or its provider
    kRetry,      // the provider asks for the same call to be made again
  };

  virtual ~ICertStoreBackend() = default;

  virtual Status Open() = 0;
  // der is exactly one encoded certificate.
  virtual Status FindCertificate(const unsigned char* der, std::size_t length) = 0;
  // Acquires the found certificate's RSA private key. Where the store must
  // be unlocked first it asks through prompt (which may be null: then it
  // cannot be unlocked).
  virtual Status AcquirePrivateKey(CertStorePasswordPrompt prompt) = 0;

  virtual Status CreateSha1Hash() = 0;
  virtual Status HashData(const unsigned char* data, std::size_t length) = 0;
  virtual Status SignatureSize(std::size_t& size) = 0;
  // signature holds SignatureSize bytes on entry; on kOk it holds the
  // PKCS#1 v1.5 signature of the hash, most significant byte first.
  virtual Status SignHash(SecureBytes& signature) = 0;
  virtual void DestroyHash() = 0;

  virtual Status OpenExchangeKey() = 0;
  // block: the encrypted block, most significant byte first; plain
  // receives the decrypted bytes.
  virtual Status Decrypt(const unsigned char* block, std::size_t length, SecureBytes& plain) = 0;

  virtual void Close() = 0;
};

class CSystemCertStore {
 public:
  // The platform's store of the current user.
  CSystemCertStore();
  // Another store (tests, other platforms). A null backend answers 21.
  explicit CSystemCertStore(std::unique_ptr<ICertStoreBackend> backend);
  virtual ~CSystemCertStore();
  CSystemCertStore(const CSystemCertStore&) = delete;
  CSystemCertStore& operator=(const CSystemCertStore&) = delete;

  // operation 1 decrypts an exchange-key block (at most kDecryptBufferSize
  // bytes), 3 signs a SHA-1 hash of the data; certificate is the armoured
  // certificate text ("-----BEGIN CERTIFICATE-----"). result receives the
  // signature (most significant byte first) or the decrypted bytes.
  // 0 success; 1 any other operation, a missing argument or a block over
  // 1024 bytes (nothing is opened for these); 41 no certificate could be
  // decoded; 21 the store cannot be opened; 23 the certificate is not in
  // it; 31 its private key cannot be acquired (not there, not RSA, the
  // store stays locked); 29 the user cancelled the store's password prompt
  // or the provider's; 25 / 26 / 27 / 28 the hash cannot be created / fed,
  // the signature size is unknown / signing failed; 2 no memory; 504 no
  // exchange key; 505 decryption failed.
  int CertStoreOperation(int operation, const char* certificate, const unsigned char* data,
                         std::size_t length, SecureBytes& result);

  // The prompt every store object uses to unlock the store (module-wide;
  // null: a locked store cannot be used, 31). It is called with kind 3.
  static void SetPasswordPrompt(CertStorePasswordPrompt prompt);
  static CertStorePasswordPrompt PasswordPrompt();

  static constexpr std::size_t kCertificateBufferSize = 8096;
  static constexpr std::size_t kDecryptBufferSize = 1024;
  static constexpr int kSignAttempts = 3;

  // The length of the DER element at the start of bytes (header included),
  // or 0 when the bytes do not start with a whole DER SEQUENCE.
  static std::size_t DerSequenceLength(const unsigned char* bytes, std::size_t length);

 private:
  int Sign(const unsigned char* data, std::size_t length, SecureBytes& result);
  int Decrypt(const unsigned char* data, std::size_t length, SecureBytes& result);

  std::unique_ptr<ICertStoreBackend> backend_;
};

}  // namespace quenta
