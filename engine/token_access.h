// Access to processor cards and USB tokens through PC/SC and PKCS#11.
//
// CTokenAccess finds the readers with a usable card, decides whether each
// card is a smart card or a USB token, loads the PKCS#11 module serving it
// and opens a read-write session on its slot. On that session it logs in,
// changes and initialises PINs, finds keys by label (checked against the
// expected token digest), signs and decrypts, generates key pairs, lists
// and deletes keys, and reads the PIN status. Every PKCS#11 answer becomes
// an engine result code (MapTokenError).
//
// Platform files (machine settings, docs/configuration.md):
//   "PCSC Library"       PC/SC client library, default "libpcsclite.so.1"
//   "PKCS11 Module"      module of every card except GPK cards (family 1),
//                        default /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
//   "GPK PKCS11 Module"  module of GPK cards (family 0), no default
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/secure.h"
#include "platform/pkcs11_module.h"

namespace quenta {

// Device search modes.
enum DeviceMode { kDeviceSmartCard = 0, kDeviceUsbToken = 1, kDeviceAny = 2 };

// Module families: which module file serves a card.
enum ModuleFamily { kFamilyGpk = 0, kFamilyPkcs11 = 1 };

// Token operations of TokenOperation (the engine's KeyOperation values).
enum TokenOp { kTokenOpRaw = 0, kTokenOpDecrypt = 1, kTokenOpSignSha1 = 3, kTokenOpSignSha256 = 4 };

// One row of the reader list.
struct TokenDevice {
  std::string serial;              // token information's 16-character serial number
  std::string readerName;          // PC/SC reader name
  unsigned long slot = 0;          // PKCS#11 slot id
  int family = kFamilyPkcs11;      // kFamilyPkcs11 or kFamilyGpk
  std::vector<unsigned char> atr;  // answer-to-reset of the card in the reader
};

// One key object offered for removal.
struct KeyRemovalRow {
  std::string label;        // the object's label, at most kMaxRemovalLabel bytes
  std::string digest;       // token digest of the key's modulus (40 hex digits)
  bool isPrivate = false;   // private-key object (else public-key object)
  unsigned long handle = 0; // PKCS#11 object handle
  bool selected = false;    // set by the dialog: delete this object
};

class CTokenAccess;

// The reader choice dialog: shows `devices` (it may refresh them through
// token.ListDevices(mode, devices)), and on OK stores the chosen row of
// the (possibly refreshed) list in *chosen. Returns the dialog's answer,
// 1 for OK.
using ReaderChoiceHook =
    std::function<int(CTokenAccess& token, int mode, std::vector<TokenDevice>& devices, int* chosen)>;
// The key removal dialog: marks the rows to delete (selected) and returns
// the dialog's answer, 1 for OK.
using KeyRemovalHook = std::function<int(std::vector<KeyRemovalRow>& rows)>;

class CTokenAccess {
 public:
  static constexpr int kMaxCardModels = 100;
  static constexpr int kMaxReaders = 10;
  static constexpr std::size_t kMaxSearchHandles = 1000;
  static constexpr std::size_t kMaxRemovalRows = 20;
  static constexpr std::size_t kMaxRemovalLabel = 127;
  static constexpr const char* kTokenReaderFragment = " Key ";

  CTokenAccess();
  virtual ~CTokenAccess();
  CTokenAccess(const CTokenAccess&) = delete;
  CTokenAccess& operator=(const CTokenAccess&) = delete;

  // ---- module life cycle ----
  // Checks and loads a module file (releasing a previous module first):
  // -1 no such file, 89 refused by CheckModuleFile, 51 not loadable.
  int LoadModule(const char* file);
  // C_Initialize: 51 without a loaded module; 0 (also when initialised
  // already); else the user mapping of the module's answer.
  int InitializeModule();
  // Finalises (if initialised) and unloads the module; 0.
  int ReleaseModule();
  // Loads, initialises and opens a read-write session on the slot, or with
  // a reader name on the slot whose description names that reader.
  int OpenModule(const char* file, unsigned long slot, const char* readerName);
  // Closes the open session: 55 without one, else C_CloseSession's raw value.
  int CloseSession();

  // ---- token information and PINs ----
  int GetTokenSerial(std::string& serial);
  int LoginUser(const char* pin);
  int LoginSecurityOfficer(const char* puk);
  int ChangePin(const char* oldPin, const char* newPin, int userFlag);
  int InitUserPin(const char* newPin);
  int InitToken(const char* soPin);
  int ReadTokenFlags();

  // ---- keys ----
  // Status text: "ProtectorCard|" / "GemplusCard|" / "UnknownCard|" and the
  // quoted token digests of all RSA public keys joined by "-". On a failure
  // the text is "%d|" with the raw PKCS#11 value.
  int ListKeyDigests(std::string& text);
  int FindTokenKey(const char* label, const char* expectedDigest, int checkFlag,
                   unsigned long* privateKey, std::size_t* modulusLength);
  int TokenOperation(const char* label, const char* expectedDigest, const char* pin,
                     const unsigned char* data, std::size_t length, int operation,
                     SecureBytes& result);
  int GenerateTokenKeyPair(const char* label, int bits, std::string& publicKeyHex,
                           std::string& digestHex);
  int RemoveTokenKeys(std::string& text);

  // ---- devices ----
  int OpenDevice(int mode, unsigned long* slot);
  int ListDevices(int mode, std::vector<TokenDevice>& devices);

  // PKCS#11 value to engine code; userFlag 1 for the user PIN, 0 for the
  // security officer's.
  static int MapTokenError(unsigned long rv, int userFlag);

  // Installs the dialogs (process-wide); returns the previous hook.
  static ReaderChoiceHook SetReaderChoiceHook(ReaderChoiceHook hook);
  static KeyRemovalHook SetKeyRemovalHook(KeyRemovalHook hook);

  // ---- state ----
  bool HasSession() const { return session_ != 0; }
  int DeviceKind() const { return deviceKind_; }
  unsigned long Slot() const { return slot_; }
  unsigned long Session() const { return session_; }
  int ModuleFamily() const { return moduleFamily_; }
  bool ModuleLoaded() const { return moduleLoaded_; }
  bool ModuleInitialised() const { return moduleInitialised_; }
  bool TokenInitialised() const { return tokenInitialised_ != 0; }
  bool UserPinInitialised() const { return userPinInitialised_ != 0; }
  bool UserPinLocked() const { return userPinLocked_ != 0; }
  bool SoPinLocked() const { return soPinLocked_ != 0; }
  const std::vector<std::string>& CardModels() const { return cardModels_; }

 private:
  int Enumerate(int mode, bool specialIsSmartCard, std::vector<TokenDevice>& devices,
                int* candidates);
  int SearchObjects(const void* templ, unsigned long count, std::vector<unsigned long>& found,
                    int initFailure);
  int ReadAttribute(unsigned long object, unsigned long type, std::vector<unsigned char>& value,
                    unsigned long* rawRv);
  int Login(unsigned long userType, const char* pin, int userFlag);
  int ReopenSession();

  int32_t deviceKind_ = 0;
  unsigned long slot_ = 0;
  unsigned long session_ = 0;
  bool moduleLoaded_ = false;
  bool moduleInitialised_ = false;
  void* moduleHandle_ = nullptr;
  int32_t cardModelCount_ = 0;
  std::vector<std::string> cardModels_;
  std::string tokenReaderFragment_ = kTokenReaderFragment;
  int32_t moduleFamily_ = kFamilyPkcs11;
  uint8_t tokenInitialised_ = 1;
  uint8_t userPinInitialised_ = 1;
  uint8_t userPinLocked_ = 0;
  uint8_t soPinLocked_ = 0;

  // This object's copy of its module's table (the process-wide one belongs
  // to the module loaded last) and whether it owes the module a C_Finalize.
  CK_FUNCTION_LIST_PTR functions_ = nullptr;
  bool ownsInitialisation_ = false;
};

}  // namespace quenta
