#include "engine/token_access.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

#include "engine/base_rsa.h"
#include "engine/cfg_reg.h"
#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "engine/toolbox_utils.h"
#include "platform/pcsc.h"
#include "platform/pkcs11_module.h"

namespace quenta {

namespace {

constexpr const char* kDefaultPcscLibrary = "libpcsclite.so.1";
constexpr const char* kDefaultPkcs11Module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";

// The card models this plug-in was made for, as card databases name them.
const char* const kCardModelTable[] = {
    "GemSAFE Smart Card (16K)",
    "ProtectorCard",
    "ProtectorCard2",
    "GXPPro-R3.x STD PTS",
    "GXPPro-R3.x MPCOS PTS",
    "GXPPro-R3.x MPCOS",
    "GXPPro-R3.x MPCOS PTS T=1",
    "GXPPro-R3.x MPCOS T=1",
    "GXPPro-R3.x STD",
    "GXPPro-R3.x STD PTS T=1",
    "GXPPro-R3.x STD T=1",
};

// PKCS#1 v1.5 DigestInfo prefixes.
const unsigned char kSha1Prefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                       0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
const unsigned char kSha256Prefix[19] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60,
                                         0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                         0x01, 0x05, 0x00, 0x04, 0x20};

const unsigned char kPublicExponent[3] = {0x01, 0x00, 0x01};

constexpr std::size_t kMinPin = 4;
constexpr std::size_t kMaxPin = 16;

std::string ConfiguredFile(const char* name, const char* fallback) {
  std::string value;
  if (MachineComponents().GetText(name, value) == kOk && !value.empty()) return value;
  return fallback;
}

std::string ModuleFileFor(int family) {
  return family == kFamilyGpk ? ConfiguredFile("GPK PKCS11 Module", "")
                              : ConfiguredFile("PKCS11 Module", kDefaultPkcs11Module);
}

// 3B A7 00 40 xx 80 65 A2 09: the fifth byte is not compared.
bool IsGpkAtr(const std::vector<unsigned char>& atr) {
  static const unsigned char pattern[9] = {0x3B, 0xA7, 0x00, 0x40, 0x00, 0x80, 0x65, 0xA2, 0x09};
  if (atr.size() < sizeof pattern) return false;
  for (std::size_t i = 0; i < sizeof pattern; ++i)
    if (i != 4 && atr[i] != pattern[i]) return false;
  return true;
}

int NoReaderCode(int mode) {
  return mode == kDeviceSmartCard ? kErrNoSmartCard
         : mode == kDeviceUsbToken ? kErrNoUsbToken
                                   : kErrNoReader;
}

bool PinLengthOk(const char* pin) {
  if (!pin) return false;
  std::size_t n = std::strlen(pin);
  return n >= kMinPin && n <= kMaxPin;
}

CK_UTF8CHAR_PTR PinBytes(const char* pin) {
  return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
}

std::string RawValueText(CK_RV rv) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lu|", static_cast<unsigned long>(rv));
  return buf;
}

bool Digest(const EVP_MD* md, const unsigned char* data, std::size_t length, unsigned char* out,
            unsigned int* outLength) {
  static const unsigned char empty = 0;
  return EVP_Digest(data ? data : &empty, length, out, outLength, md, nullptr) == 1;
}

void AppendLe32(std::vector<unsigned char>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

ReaderChoiceHook& ReaderHook() {
  static ReaderChoiceHook hook;
  return hook;
}

KeyRemovalHook& RemovalHook() {
  static KeyRemovalHook hook;
  return hook;
}

}  // namespace

CTokenAccess::CTokenAccess() {
  for (const char* name : kCardModelTable) {
    if (cardModelCount_ >= kMaxCardModels) break;
    cardModels_.emplace_back(name);
    ++cardModelCount_;
  }
}

CTokenAccess::~CTokenAccess() {
  ReleaseModule();
  cardModels_.clear();
  cardModelCount_ = 0;
}

ReaderChoiceHook CTokenAccess::SetReaderChoiceHook(ReaderChoiceHook hook) {
  ReaderChoiceHook previous = std::move(ReaderHook());
  ReaderHook() = std::move(hook);
  return previous;
}

KeyRemovalHook CTokenAccess::SetKeyRemovalHook(KeyRemovalHook hook) {
  KeyRemovalHook previous = std::move(RemovalHook());
  RemovalHook() = std::move(hook);
  return previous;
}

int CTokenAccess::MapTokenError(unsigned long rv, int userFlag) {
  switch (rv) {
    case CKR_OK: return kOk;
    case 0x259: return kErrPkcs11Passthrough;
    case CKR_SESSION_HANDLE_INVALID: return kErrNoSession;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_RECOGNIZED: return kErrTokenAbsent;
    case CKR_PIN_INCORRECT: return userFlag ? kErrPinIncorrect : kErrSoPinIncorrect;
    case CKR_PIN_LOCKED: return userFlag ? kErrPinLocked : kErrSoPinLocked;
    case CKR_SESSION_READ_ONLY:
    case CKR_USER_NOT_LOGGED_IN: return kErrNotLoggedIn;
    case CKR_SLOT_ID_INVALID: return kErrSlotInvalid;
    case CKR_PIN_INVALID: return kErrPinLength;
    default: return static_cast<int>(rv + kErrPkcs11Base);
  }
}

// ---------------------------------------------------------------- modules

int CTokenAccess::LoadModule(const char* file) {
  const std::string path = file ? file : "";
  int check = CheckModuleFile(path);
  if (check != 0) return check;
  ReleaseModule();
  void* handle = nullptr;
  CK_FUNCTION_LIST_PTR functions = nullptr;
  if (LoadPkcs11Module(path, &handle, &functions) != 0) return kErrModuleLoad;
  moduleHandle_ = handle;
  functions_ = functions;
  moduleLoaded_ = true;
  return kOk;
}

int CTokenAccess::InitializeModule() {
  if (!moduleLoaded_ || !functions_) return kErrModuleLoad;
  session_ = 0;
  if (moduleInitialised_) return kOk;
  bool owned = false;
  CK_RV rv = InitializePkcs11(functions_, &owned);
  if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    moduleInitialised_ = true;
    ownsInitialisation_ = owned;
    return kOk;
  }
  return MapTokenError(rv, 1);
}

int CTokenAccess::ReleaseModule() {
  if (moduleInitialised_) {
    moduleInitialised_ = false;
    // A module we share with someone else is not finalised, so close our
    // own session explicitly rather than leave it to C_Finalize.
    if (session_ && functions_) functions_->C_CloseSession(session_);
    session_ = 0;
    if (ownsInitialisation_) FinalizePkcs11(functions_);
    ownsInitialisation_ = false;
  }
  session_ = 0;
  if (moduleHandle_) {
    moduleLoaded_ = false;
    UnloadPkcs11Module(moduleHandle_, functions_);
    moduleHandle_ = nullptr;
  }
  moduleLoaded_ = false;
  functions_ = nullptr;
  return kOk;
}

int CTokenAccess::OpenModule(const char* file, unsigned long slot, const char* readerName) {
  if (LoadModule(file) != kOk || InitializeModule() != kOk) {
    ReleaseModule();
    return kErrModuleLoad;
  }
  CK_FUNCTION_LIST_PTR f = functions_;

  if (readerName) {
    // The slot whose description names the reader. The description is a
    // 64-byte blank-padded field, never read beyond: longer reader names
    // are compared over their first 64 bytes. A description equal to the
    // name wins over one that merely starts with it ("Reader 1" must not
    // open "Reader 10"). A reader no slot describes has no device: its
    // slot is reported invalid rather than guessed.
    const std::size_t nameLength = std::strlen(readerName);
    const std::size_t n = nameLength < 64 ? nameLength : 64;
    CK_ULONG count = 0;
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = f->C_GetSlotList(CK_FALSE, nullptr, &count);
    if (rv == CKR_OK && count > 0) {
      slots.resize(count);
      rv = f->C_GetSlotList(CK_FALSE, slots.data(), &count);
      slots.resize(rv == CKR_OK ? count : 0);
    }
    bool found = false;
    bool exact = false;
    CK_SLOT_ID chosen = 0;
    for (CK_SLOT_ID id : slots) {
      CK_SLOT_INFO info;
      std::memset(&info, 0, sizeof info);
      if (f->C_GetSlotInfo(id, &info) != CKR_OK) continue;
      const char* desc = reinterpret_cast<const char*>(info.slotDescription);
      if (n == 0 || std::memcmp(desc, readerName, n) != 0) continue;
      bool rest_blank = true;
      for (std::size_t i = n; i < sizeof info.slotDescription; ++i)
        if (desc[i] != ' ' && desc[i] != '\0') { rest_blank = false; break; }
      if (!found || (rest_blank && !exact)) {
        chosen = id;
        found = true;
        exact = rest_blank;
      }
      if (exact) break;
    }
    if (!found) {
      ReleaseModule();
      return kErrSlotInvalid;
    }
    slot = chosen;
  }

  CK_SESSION_HANDLE session = 0;
  CK_RV rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
  if (rv == CKR_OK) {
    session_ = session;
    slot_ = slot;
    return kOk;
  }
  int rc = MapTokenError(rv, 1);
  ReleaseModule();
  return rc;
}

int CTokenAccess::CloseSession() {
  if (!session_) return kErrNoSession;
  CK_SESSION_HANDLE session = session_;
  session_ = 0;
  if (!functions_) return kOk;
  return static_cast<int>(functions_->C_CloseSession(session));
}

int CTokenAccess::ReopenSession() {
  if (!functions_) return kErrModuleLoad;
  CK_SESSION_HANDLE session = 0;
  CK_RV rv =
      functions_->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
  if (rv != CKR_OK) return MapTokenError(rv, 1);
  session_ = session;
  return kOk;
}

// ---------------------------------------------------------------- PINs

int CTokenAccess::GetTokenSerial(std::string& serial) {
  serial.clear();
  if (!functions_) return kErrModuleLoad;
  CK_TOKEN_INFO info;
  std::memset(&info, 0, sizeof info);
  CK_RV rv = functions_->C_GetTokenInfo(slot_, &info);
  if (rv != CKR_OK) return MapTokenError(rv, 1);
  serial.assign(reinterpret_cast<const char*>(info.serialNumber), sizeof info.serialNumber);
  return kOk;
}

int CTokenAccess::Login(unsigned long userType, const char* pin, int userFlag) {
  const char* text = pin ? pin : "";
  CK_ULONG length = std::strlen(text);
  CK_RV rv = functions_->C_Login(session_, userType, PinBytes(text), length);
  if (rv == CKR_USER_ALREADY_LOGGED_IN || rv == CKR_USER_ANOTHER_ALREADY_LOGGED_IN) {
    // Every login checks its PIN: end the earlier login and log in again.
    functions_->C_Logout(session_);
    rv = functions_->C_Login(session_, userType, PinBytes(text), length);
  }
  return MapTokenError(rv, userFlag);
}

int CTokenAccess::LoginUser(const char* pin) {
  if (!session_ || !functions_) return kErrNoSession;
  if (!pin || std::strlen(pin) < kMinPin) return kErrPinLength;
  if (std::strlen(pin) > kMaxPin) return kErrPinIncorrect;
  return Login(CKU_USER, pin, 1);
}

int CTokenAccess::LoginSecurityOfficer(const char* puk) {
  if (!session_ || !functions_) return kErrNoSession;
  return Login(CKU_SO, puk, 0);
}

int CTokenAccess::ChangePin(const char* oldPin, const char* newPin, int userFlag) {
  if (!session_ || !functions_) return kErrNoSession;
  if (!PinLengthOk(oldPin) || !PinLengthOk(newPin)) return kErrPinLength;
  CK_RV rv = functions_->C_SetPIN(session_, PinBytes(oldPin), std::strlen(oldPin),
                                  PinBytes(newPin), std::strlen(newPin));
  return MapTokenError(rv, userFlag);
}

int CTokenAccess::InitUserPin(const char* newPin) {
  if (!session_ || !functions_) return kErrNoSession;
  if (!PinLengthOk(newPin)) return kErrPinLength;
  CK_RV rv = functions_->C_InitPIN(session_, PinBytes(newPin), std::strlen(newPin));
  return MapTokenError(rv, 1);
}

int CTokenAccess::InitToken(const char* soPin) {
  if (!PinLengthOk(soPin)) return kErrPinLength;
  if (!functions_) return kErrModuleLoad;
  // C_InitToken refuses a token with open sessions (CKR_SESSION_EXISTS):
  // close ours for the call and open a fresh one on the same slot, so the
  // security officer can log in and set the user PIN afterwards.
  const bool hadSession = session_ != 0;
  if (hadSession) CloseSession();
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  CK_RV rv = functions_->C_InitToken(slot_, PinBytes(soPin), std::strlen(soPin), label);
  int rc = rv == CKR_OK ? kOk : rv == CKR_FUNCTION_FAILED ? kErrInitTokenRefused : MapTokenError(rv, 1);
  if (hadSession) {
    int reopened = ReopenSession();
    if (rc == kOk) rc = reopened;
  }
  return rc;
}

int CTokenAccess::ReadTokenFlags() {
  if (moduleFamily_ == kFamilyPkcs11) {
    if (!functions_) return kErrModuleLoad;
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    CK_RV rv = functions_->C_GetTokenInfo(slot_, &info);
    if (rv != CKR_OK) return MapTokenError(rv, 1);
    const bool userInit = (info.flags & CKF_USER_PIN_INITIALIZED) != 0;
    tokenInitialised_ = (info.flags & CKF_TOKEN_INITIALIZED) && userInit ? 1 : 0;
    userPinInitialised_ = userInit ? 1 : 0;
    userPinLocked_ = (info.flags & CKF_USER_PIN_LOCKED) ? 1 : 0;
    soPinLocked_ = (info.flags & CKF_SO_PIN_LOCKED) ? 1 : 0;
    return kOk;
  }
  if (moduleFamily_ == kFamilyGpk) {
    if (!session_ || !functions_) return kErrNoSession;
    CK_SESSION_INFO info;
    std::memset(&info, 0, sizeof info);
    CK_RV rv = functions_->C_GetSessionInfo(session_, &info);
    if (rv != CKR_OK) return MapTokenError(rv, 1);
    // The module reports the remaining tries in the device error field:
    // bits 16-23 for the user PIN, bits 24-31 for the security officer's.
    const unsigned long error = info.ulDeviceError;
    tokenInitialised_ = 1;
    userPinInitialised_ = 1;
    userPinLocked_ = ((error >> 16) & 0xFF) == 0 ? 1 : 0;
    soPinLocked_ = ((error >> 24) & 0xFF) == 0 ? 1 : 0;
    return kOk;
  }
  return kErrArgument;
}

// ---------------------------------------------------------------- objects

int CTokenAccess::ReadAttribute(unsigned long object, unsigned long type,
                                std::vector<unsigned char>& value, unsigned long* rawRv) {
  value.clear();
  CK_ATTRIBUTE attr = {type, nullptr, 0};
  CK_RV rv = functions_->C_GetAttributeValue(session_, object, &attr, 1);
  if (rv == CKR_OK && attr.ulValueLen == CK_UNAVAILABLE_INFORMATION) rv = CKR_ATTRIBUTE_TYPE_INVALID;
  if (rv == CKR_OK && attr.ulValueLen > 0) {
    value.resize(attr.ulValueLen);
    attr.pValue = value.data();
    rv = functions_->C_GetAttributeValue(session_, object, &attr, 1);
    if (rv == CKR_OK) value.resize(attr.ulValueLen <= value.size() ? attr.ulValueLen : 0);
  }
  if (rawRv) *rawRv = rv;
  if (rv != CKR_OK) {
    value.clear();
    return MapTokenError(rv, 1);
  }
  return kOk;
}

// initFailure: 0 maps a failing C_FindObjectsInit, 1 reports it as 67. A
// stale session (CKR_SESSION_HANDLE_INVALID) gives 55 either way; a fetch
// failure gives 67.
int CTokenAccess::SearchObjects(const void* templ, unsigned long count,
                                std::vector<unsigned long>& found, int initFailure) {
  found.clear();
  CK_ATTRIBUTE_PTR attrs = static_cast<CK_ATTRIBUTE_PTR>(const_cast<void*>(templ));
  CK_RV rv = functions_->C_FindObjectsInit(session_, attrs, count);
  if (rv != CKR_OK) {
    if (rv == CKR_SESSION_HANDLE_INVALID) return kErrNoSession;
    return initFailure ? kErrObjectSearch : MapTokenError(rv, 1);
  }
  std::vector<CK_OBJECT_HANDLE> handles(kMaxSearchHandles);
  CK_ULONG got = 0;
  rv = functions_->C_FindObjects(session_, handles.data(), kMaxSearchHandles, &got);
  functions_->C_FindObjectsFinal(session_);
  if (rv != CKR_OK) return kErrObjectSearch;
  if (got > kMaxSearchHandles) got = kMaxSearchHandles;
  found.assign(handles.begin(), handles.begin() + got);
  return kOk;
}

int CTokenAccess::FindTokenKey(const char* label, const char* expectedDigest, int checkFlag,
                               unsigned long* privateKey, std::size_t* modulusLength) {
  if (privateKey) *privateKey = 0;
  if (modulusLength) *modulusLength = 0;
  if (!label) return kErrArgument;
  if (!session_ || !functions_) return kErrNoSession;

  const CK_ULONG labelLength = std::strlen(label);
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_ATTRIBUTE templ[3] = {
      {CKA_CLASS, &publicClass, sizeof publicClass},
      {CKA_KEY_TYPE, &rsa, sizeof rsa},
      {CKA_LABEL, const_cast<char*>(label), labelLength},
  };

  // Keeps the handles whose label is exactly the requested one.
  auto matching = [&](const std::vector<unsigned long>& handles, std::vector<unsigned long>& out) {
    out.clear();
    std::vector<unsigned char> value;
    for (unsigned long h : handles) {
      int rc = ReadAttribute(h, CKA_LABEL, value, nullptr);
      if (rc != kOk) return rc;
      if (value.size() == labelLength && std::memcmp(value.data(), label, labelLength) == 0)
        out.push_back(h);
    }
    return static_cast<int>(kOk);
  };

  std::vector<unsigned long> handles, matches;
  int rc = SearchObjects(templ, 3, handles, 0);
  if (rc != kOk) return rc;
  if (handles.empty()) return kErrNoKeyOnCard;
  rc = matching(handles, matches);
  if (rc != kOk) return rc;
  if (matches.size() > 1) return kErrKeyNameInUse;
  if (matches.empty()) return kErrNoKeyOnCard;

  std::vector<unsigned char> modulus;
  rc = ReadAttribute(matches[0], CKA_MODULUS, modulus, nullptr);
  if (rc != kOk) return rc;
  if (checkFlag) {
    const std::string digest = CBaseRSA::TokenDigest(modulus.data(), modulus.size());
    if (!expectedDigest || digest.empty() || digest != expectedDigest)
      return kErrTokenDigestMismatch;
  }

  templ[0].pValue = &privateClass;
  rc = SearchObjects(templ, 3, handles, 1);
  if (rc != kOk) return rc;
  rc = matching(handles, matches);
  if (rc != kOk) return rc;
  if (matches.size() > 1) return kErrKeyNameInUse;
  // A public key without its private key cannot sign: no key to use.
  if (matches.empty()) return kErrNoKeyOnCard;

  if (privateKey) *privateKey = matches.back();
  if (modulusLength) *modulusLength = modulus.size();
  return kOk;
}

int CTokenAccess::TokenOperation(const char* label, const char* expectedDigest, const char* pin,
                                 const unsigned char* data, std::size_t length, int operation,
                                 SecureBytes& result) {
  result.clear();
  if (!session_ || !functions_) return kErrNoSession;
  int rc = LoginUser(pin);
  if (rc != kOk) return rc;
  unsigned long key = 0;
  std::size_t modulusLength = 0;
  rc = FindTokenKey(label, expectedDigest, 1, &key, &modulusLength);
  if (rc != kOk) return rc;
  if (!data && length) return kErrArgument;

  CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
  unsigned char input[64];
  const unsigned char* in = data;
  std::size_t inLength = length;
  unsigned int digestLength = 0;
  switch (operation) {
    case kTokenOpRaw:
    case kTokenOpDecrypt:
      break;
    case kTokenOpSignSha1:
      std::memcpy(input, kSha1Prefix, sizeof kSha1Prefix);
      if (!Digest(EVP_sha1(), data, length, input + sizeof kSha1Prefix, &digestLength))
        return kErrArgument;
      in = input;
      inLength = sizeof kSha1Prefix + digestLength;
      break;
    case kTokenOpSignSha256:
      std::memcpy(input, kSha256Prefix, sizeof kSha256Prefix);
      if (!Digest(EVP_sha256(), data, length, input + sizeof kSha256Prefix, &digestLength))
        return kErrArgument;
      in = input;
      inLength = sizeof kSha256Prefix + digestLength;
      break;
    default:
      return kErrArgument;
  }

  result.assign(modulusLength, 0);
  CK_ULONG outLength = result.size();
  CK_BYTE_PTR inBytes = const_cast<CK_BYTE_PTR>(in);
  static unsigned char none = 0;
  if (!inBytes) inBytes = &none;
  CK_RV rv;
  if (operation == kTokenOpDecrypt) {
    rv = functions_->C_DecryptInit(session_, &mechanism, key);
    if (rv == CKR_OK) rv = functions_->C_Decrypt(session_, inBytes, inLength, result.data(), &outLength);
  } else {
    rv = functions_->C_SignInit(session_, &mechanism, key);
    if (rv == CKR_OK) rv = functions_->C_Sign(session_, inBytes, inLength, result.data(), &outLength);
  }
  if (rv != CKR_OK) {
    result.clear();
    return MapTokenError(rv, 1);
  }
  result.resize(outLength <= result.size() ? outLength : result.size());
  return kOk;
}

int CTokenAccess::GenerateTokenKeyPair(const char* label, int bits, std::string& publicKeyHex,
                                       std::string& digestHex) {
  publicKeyHex.clear();
  digestHex.clear();
  (void)bits;  // the key pairs are always of 1024 bits; the only caller asks for that size
  if (!session_ || !functions_) return kErrNoSession;
  if (!label) return kErrArgument;

  // A key of this label on the token already (a public or a private key
  // object) keeps the label from being used twice.
  {
    const CK_ULONG labelLength = std::strlen(label);
    CK_OBJECT_CLASS classes[2] = {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY};
    CK_KEY_TYPE rsa = CKK_RSA;
    for (CK_OBJECT_CLASS& cls : classes) {
      CK_ATTRIBUTE templ[3] = {
          {CKA_CLASS, &cls, sizeof cls},
          {CKA_KEY_TYPE, &rsa, sizeof rsa},
          {CKA_LABEL, const_cast<char*>(label), labelLength},
      };
      std::vector<unsigned long> found;
      int rc = SearchObjects(templ, 3, found, 0);
      if (rc != kOk) return rc;
      if (!found.empty()) return kErrKeyNameInUse;
    }
  }

  CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG modulusBits = 1024;
  CK_BYTE exponent[3] = {0x01, 0x00, 0x01};
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE publicTemplate[3] = {
      {CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits},
      {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
      {CKA_TOKEN, &yes, sizeof yes},
  };
  CK_ATTRIBUTE privateTemplate[3] = {
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_SENSITIVE, &yes, sizeof yes},
  };
  CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
  CK_RV rv = functions_->C_GenerateKeyPair(session_, &mechanism, publicTemplate, 3, privateTemplate,
                                           3, &publicKey, &privateKey);
  if (rv == CKR_FUNCTION_FAILED) return kErrKeyGenRefused;
  if (rv != CKR_OK) return MapTokenError(rv, 1);

  auto destroyBoth = [&]() {
    functions_->C_DestroyObject(session_, publicKey);
    functions_->C_DestroyObject(session_, privateKey);
  };

  std::vector<unsigned char> modulus;
  int rc = ReadAttribute(publicKey, CKA_MODULUS, modulus, nullptr);
  if (rc != kOk || modulus.empty()) {
    // Unnamed keys nobody could find again: do not leave them behind.
    destroyBoth();
    return rc != kOk ? rc : MapTokenError(CKR_ATTRIBUTE_VALUE_INVALID, 1);
  }

  std::vector<unsigned char> record;
  AppendLe32(record, static_cast<uint32_t>(modulus.size()));
  record.insert(record.end(), modulus.begin(), modulus.end());
  AppendLe32(record, sizeof kPublicExponent);
  record.insert(record.end(), kPublicExponent, kPublicExponent + sizeof kPublicExponent);
  std::string recordHex;
  const std::string digest = CBaseRSA::TokenDigest(modulus.data(), modulus.size());
  SecureBytes id;
  if (HexEncode(record.data(), record.size(), recordHex) != 0 || HexDecode(digest.c_str(), id) != 0) {
    destroyBoth();
    return kErrNoMemory;
  }

  CK_ATTRIBUTE naming[2] = {
      {CKA_ID, id.data(), id.size()},
      {CKA_LABEL, const_cast<char*>(label), std::strlen(label)},
  };
  rv = functions_->C_SetAttributeValue(session_, publicKey, naming, 2);
  if (rv == CKR_OK) rv = functions_->C_SetAttributeValue(session_, privateKey, naming, 2);
  if (rv != CKR_OK) {
    destroyBoth();
    return MapTokenError(rv, 1);
  }
  publicKeyHex = recordHex;
  digestHex = digest;
  return kOk;
}

int CTokenAccess::ListKeyDigests(std::string& text) {
  text.clear();
  if (!session_ || !functions_) {
    text = RawValueText(CKR_SESSION_HANDLE_INVALID);
    return kErrObjectSearch;
  }
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_ATTRIBUTE templ[2] = {
      {CKA_CLASS, &publicClass, sizeof publicClass},
      {CKA_KEY_TYPE, &rsa, sizeof rsa},
  };
  CK_RV rv = functions_->C_FindObjectsInit(session_, templ, 2);
  std::vector<CK_OBJECT_HANDLE> handles(kMaxSearchHandles);
  CK_ULONG got = 0;
  if (rv == CKR_OK) {
    rv = functions_->C_FindObjects(session_, handles.data(), kMaxSearchHandles, &got);
    CK_RV finalRv = functions_->C_FindObjectsFinal(session_);
    if (rv == CKR_OK) rv = finalRv;
  }
  if (rv != CKR_OK) {
    text = RawValueText(rv);
    return kErrObjectSearch;
  }
  if (got > kMaxSearchHandles) got = kMaxSearchHandles;

  // Any number of keys: the text grows as needed.
  std::string out = moduleFamily_ == kFamilyPkcs11 ? "ProtectorCard|"
                    : moduleFamily_ == kFamilyGpk  ? "GemplusCard|"
                                                   : "UnknownCard|";
  std::vector<unsigned char> modulus;
  for (CK_ULONG i = 0; i < got; ++i) {
    unsigned long raw = CKR_OK;
    int rc = ReadAttribute(handles[i], CKA_MODULUS, modulus, &raw);
    if (rc != kOk) {
      text = RawValueText(raw);
      return rc;
    }
    if (i > 0) out += '-';
    out += '"';
    out += CBaseRSA::TokenDigest(modulus.data(), modulus.size());
    out += '"';
  }
  text = out;
  return kOk;
}

int CTokenAccess::RemoveTokenKeys(std::string& text) {
  text.clear();
  if (!session_ || !functions_) return kErrNoSession;
  CK_RV rv = functions_->C_FindObjectsInit(session_, nullptr, 0);
  if (rv != CKR_OK) return MapTokenError(rv, 1);

  std::vector<KeyRemovalRow> rows;
  int rc = kOk;
  for (;;) {
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG got = 0;
    rv = functions_->C_FindObjects(session_, &object, 1, &got);
    if (rv != CKR_OK) {
      rc = MapTokenError(rv, 1);
      break;
    }
    if (got == 0) break;

    CK_OBJECT_CLASS cls = 0;
    CK_ATTRIBUTE attr = {CKA_CLASS, nullptr, 0};
    if (functions_->C_GetAttributeValue(session_, object, &attr, 1) != CKR_OK ||
        attr.ulValueLen != sizeof cls)
      continue;
    attr.pValue = &cls;
    if (functions_->C_GetAttributeValue(session_, object, &attr, 1) != CKR_OK) continue;
    if (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY) continue;

    std::vector<unsigned char> label, modulus;
    rc = ReadAttribute(object, CKA_LABEL, label, nullptr);
    if (rc == kOk) rc = ReadAttribute(object, CKA_MODULUS, modulus, nullptr);
    if (rc != kOk) break;
    // The dialog holds a fixed number of rows; further keys are not offered.
    if (rows.size() >= kMaxRemovalRows) continue;
    KeyRemovalRow row;
    std::size_t n = label.size() < kMaxRemovalLabel ? label.size() : kMaxRemovalLabel;
    row.label.assign(reinterpret_cast<const char*>(label.data()), n);
    row.label = row.label.c_str();  // a label with a zero byte ends there
    row.digest = CBaseRSA::TokenDigest(modulus.data(), modulus.size());
    row.isPrivate = cls == CKO_PRIVATE_KEY;
    row.handle = object;
    rows.push_back(std::move(row));
  }
  functions_->C_FindObjectsFinal(session_);
  if (rc != kOk) return rc;
  if (rows.empty()) return kErrNoTokenObjects;

  KeyRemovalHook& hook = RemovalHook();
  if (!hook) return kErrCancelled;  // no dialog to choose with: nothing chosen
  if (hook(rows) != 1) return kErrCancelled;

  std::string out;
  std::vector<std::string> seen;
  for (const KeyRemovalRow& row : rows) {
    if (!row.selected) continue;
    if (functions_->C_DestroyObject(session_, row.handle) != CKR_OK) return kErrTokenObjectDelete;
    bool known = false;
    for (const std::string& d : seen) known = known || d == row.digest;
    if (known) continue;
    seen.push_back(row.digest);
    out += '|';
    out += row.digest;
  }
  text = out;
  return kOk;
}

// ---------------------------------------------------------------- devices

namespace {

// PC/SC part of the device search: the located readers (at most the first
// kMaxReaders), or a result code. The library, its context and its buffers
// are released by pcsc's owner on every path.
int LocateReaders(CPcscLibrary& pcsc, const std::vector<std::string>& models, int mode,
                  std::vector<PcscReaderState>& states) {
  states.clear();
  if (!pcsc.Load(ConfiguredFile("PCSC Library", kDefaultPcscLibrary))) return kErrPcscLibrary;
  if (pcsc.EstablishContext(pcsc::kScopeUser) != pcsc::kSuccess) return kErrPcscContext;
  std::vector<std::string> known;
  if (pcsc.ListCards(models, known) != pcsc::kSuccess) return kErrPcscContext;
  std::vector<std::string> readers;
  if (pcsc.ListReaders(readers) != pcsc::kSuccess) return NoReaderCode(mode);
  for (const std::string& name : readers) {
    if (states.size() >= static_cast<std::size_t>(CTokenAccess::kMaxReaders)) break;
    PcscReaderState st;
    st.reader = name;
    st.currentState = pcsc::kStateUnaware;
    states.push_back(std::move(st));
  }
  if (pcsc.LocateCards(known, states) != pcsc::kSuccess) return kErrPcscLocate;
  return kOk;
}

}  // namespace

// The search shared by OpenDevice and ListDevices: locate the cards, keep
// the readers of the mode (the candidates), open each one to read its
// token's serial. With specialIsSmartCard the special card counts as a
// smart card in mode 0 and as a token in mode 1. Leaves no session open
// and no module loaded.
int CTokenAccess::Enumerate(int mode, bool specialIsSmartCard, std::vector<TokenDevice>& devices,
                            int* candidates) {
  devices.clear();
  *candidates = 0;
  std::vector<PcscReaderState> states;
  {
    CPcscLibrary pcsc;
    int rc = LocateReaders(pcsc, cardModels_, mode, states);
    if (rc != kOk) return rc;
  }

  CToolboxUtils toolbox;
  const std::string gpkModule = ModuleFileFor(kFamilyGpk);
  const std::string pkcs11Module = ModuleFileFor(kFamilyPkcs11);
  for (std::size_t index = 0; index < states.size(); ++index) {
    PcscReaderState& st = states[index];
    bool tokenCard = toolbox.IsTokenAtr(st.atr.data(), st.atr.size());
    if (specialIsSmartCard && toolbox.IsSpecialCardAtr(st.atr.data(), st.atr.size())) {
      if (mode == kDeviceSmartCard) tokenCard = false;
      if (mode == kDeviceUsbToken) tokenCard = true;
    }
    const bool tokenReader = st.reader.find(tokenReaderFragment_) != std::string::npos;
    if (mode == kDeviceSmartCard && (tokenReader || tokenCard)) continue;
    if (mode == kDeviceUsbToken && !tokenReader && !tokenCard) continue;
    ++*candidates;

    TokenDevice device;
    device.readerName = st.reader;
    device.atr = st.atr;
    if (IsGpkAtr(st.atr)) {
      // GPK modules number their slots by reader.
      if (OpenModule(gpkModule.c_str(), index, nullptr) == kOk) {
        slot_ = index;
        if (GetTokenSerial(device.serial) == kOk) {
          device.slot = index;
          device.family = kFamilyGpk;
          devices.push_back(device);
        }
        CloseSession();
      }
    } else if (OpenModule(pkcs11Module.c_str(), index + 1, st.reader.c_str()) == kOk) {
      if (GetTokenSerial(device.serial) == kOk) {
        device.slot = slot_;
        device.family = kFamilyPkcs11;
        devices.push_back(device);
      }
      CloseSession();
    }
    st.currentState = st.eventState;
  }
  ReleaseModule();
  return kOk;
}

int CTokenAccess::ListDevices(int mode, std::vector<TokenDevice>& devices) {
  int candidates = 0;
  int rc = Enumerate(mode, false, devices, &candidates);
  if (rc != kOk) return rc;
  if (candidates == 0 && mode != kDeviceAny) return NoReaderCode(mode);
  return kOk;
}

int CTokenAccess::OpenDevice(int mode, unsigned long* slot) {
  if (session_) {
    if (slot) *slot = slot_;
    return kOk;
  }
  std::vector<TokenDevice> devices;
  int candidates = 0;
  int rc = Enumerate(mode, true, devices, &candidates);
  if (rc != kOk) return rc;

  if (candidates == 0)
    return mode == kDeviceSmartCard ? kErrNoSmartCard
           : mode == kDeviceUsbToken ? kErrNoUsbToken
                                     : kErrNoCard;
  if (devices.empty()) return mode == kDeviceUsbToken ? kErrNoUsbToken : kErrTokenAbsent;

  std::size_t chosen = 0;
  if (devices.size() >= 2) {
    // Without a dialog nobody can choose, and a device picked at random
    // could be someone else's: that is a cancelled choice.
    ReaderChoiceHook& hook = ReaderHook();
    if (!hook) return kErrCancelled;
    int row = -1;
    if (hook(*this, mode, devices, &row) != 1) return kErrCancelled;
    if (row < 0 || static_cast<std::size_t>(row) >= devices.size()) return kErrCancelled;
    chosen = static_cast<std::size_t>(row);
  }

  const TokenDevice device = devices[chosen];
  slot_ = device.slot;
  if (slot) *slot = device.slot;
  moduleFamily_ = device.family;
  CToolboxUtils toolbox;
  deviceKind_ = device.readerName.find(tokenReaderFragment_) != std::string::npos ||
                        toolbox.IsTokenAtr(device.atr.data(), device.atr.size())
                    ? 1
                    : 0;
  return OpenModule(ModuleFileFor(device.family).c_str(), device.slot, nullptr);
}

}  // namespace quenta
