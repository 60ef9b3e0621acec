// The engine one page object owns: the key store plus the operations that
// involve the user (signing, the login challenge, key generation, token
// PIN and key management).
#pragma once

#include <string>

#include "engine/keys_storage.h"

namespace quenta {

class CKeysStorageComp : public CKeysStorage {
 public:
  CKeysStorageComp();
  ~CKeysStorageComp() override;

  int GenerateKey(int keySize, const char* options, int* kind, std::string* software,
                  std::string* publicKey, std::string* keyId, std::string* name,
                  std::string* report);
  int Sign(const char* allowedKeys, const char* keyName, const char* orderHex, int mode,
           std::string* signature, std::string* usedKeyName, std::string* report);
  int EncryptRand(const char* allowedKeys, const char* keyName, const char* challenge, int mode,
                  const char* extra, std::string* message, std::string* usedKeyName,
                  std::string* report);
  int DecryptRand(const char* allowedKeys, const char* messageHex, int mode, std::string* digest,
                  bool* hasDigest, std::string* usedKeyName, std::string* report);

  // Token PIN and key management. `names` receives the key-name list where
  // the operation produces one (ChangePIN, ChangePUK and UnblockCard: with
  // 91 only; DeleteTokenKeys: only when it names a key); hasNames tells
  // whether InitializeCard produced one. InitializeCard opens and closes
  // the device itself with ownSession, else it works in the caller's
  // session. Names lists have no length limit.
  int ChangePIN(std::string* names);
  int ChangePUK(std::string* names);
  int InitializeCard(bool ownSession, std::string* names, bool* hasNames);
  int UnblockCard(std::string* names);
  int DeleteTokenKeys(int deviceMode, std::string* names);
  // Replaces a token report (family prefix, "|", quoted token digests
  // joined by "-") by the names of the listed keys whose reference text is
  // one of the digests, joined by "|" (possibly empty). Returns 0.
  int NamesFromTokenReport(std::string* text) const;

  // Releases the current key if a dialog left one selected.
  void ReleaseUnfinishedKey();

  // The on-screen keyboard: text typed on OK, else the dialog's end value.
  int ShowKeyboard(std::string* text, int* endValue);

 private:
  // ChangePIN (userCode) and ChangePUK.
  int ChangeCode(bool userCode, std::string* names);
};

}  // namespace quenta
