// A scripted PKCS#11 module for tests: the cases a real token cannot be
// made to produce on demand (a locked user PIN, a locked PUK, any return
// value from any call, a module that will not initialise, the remaining
// tries a GPK module reports in the session's device error field).
//
// Its tokens keep PINs with try counters and RSA key objects (with made-up
// moduli; signing answers fixed bytes). The control interface is described
// in double_control.h. State survives C_Finalize and unloading by the code
// under test as long as the test holds the library open itself.
#include <p11-kit/pkcs11.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Object {
  CK_OBJECT_HANDLE handle;
  CK_OBJECT_CLASS cls;
  CK_KEY_TYPE keyType;
  std::string label;
  std::vector<unsigned char> modulus;
  std::vector<unsigned char> id;
};

struct Token {
  CK_SLOT_ID id;
  std::string description;
  std::string serial;
  bool initialised = true;
  bool userPinSet = true;
  std::string userPin, soPin;
  int userTries = 3, soTries = 3;
  std::vector<Object> objects;
};

struct Session {
  CK_SLOT_ID slot;
  CK_USER_TYPE user = static_cast<CK_USER_TYPE>(-1);  // none
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t next = 0;
  CK_OBJECT_HANDLE signKey = 0;
  int op = 0;  // 1 sign, 2 decrypt
};

constexpr int kMaxTries = 3;

bool g_initialised = false;
std::vector<Token> g_tokens;
std::map<CK_SESSION_HANDLE, Session> g_sessions;
std::map<std::string, CK_RV> g_forced;
std::map<std::string, int> g_calls;
CK_SESSION_HANDLE g_nextSession = 1;
CK_OBJECT_HANDLE g_nextObject = 100;
long long g_deviceError = -1;
std::vector<std::vector<unsigned char>> g_signedInputs;

bool Forced(const char* fn, CK_RV* rv) {
  ++g_calls[fn];
  auto it = g_forced.find(fn);
  if (it == g_forced.end()) return false;
  *rv = it->second;
  return true;
}

#define FORCE(fn)                 \
  do {                            \
    CK_RV forced_;                \
    if (Forced(fn, &forced_)) return forced_; \
  } while (0)

Token* TokenOf(CK_SLOT_ID id) {
  for (Token& t : g_tokens)
    if (t.id == id) return &t;
  return nullptr;
}

Session* SessionOf(CK_SESSION_HANDLE h) {
  auto it = g_sessions.find(h);
  return it == g_sessions.end() ? nullptr : &it->second;
}

Object* ObjectOf(Token& t, CK_OBJECT_HANDLE h) {
  for (Object& o : t.objects)
    if (o.handle == h) return &o;
  return nullptr;
}

void Blank(unsigned char* field, std::size_t n, const std::string& text) {
  std::memset(field, ' ', n);
  std::memcpy(field, text.data(), text.size() < n ? text.size() : n);
}

bool Matches(const Object& o, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& a = templ[i];
    std::string want(static_cast<const char*>(a.pValue), a.ulValueLen);
    switch (a.type) {
      case CKA_CLASS:
        if (a.ulValueLen != sizeof(CK_OBJECT_CLASS) || *static_cast<CK_OBJECT_CLASS*>(a.pValue) != o.cls)
          return false;
        break;
      case CKA_KEY_TYPE:
        if (a.ulValueLen != sizeof(CK_KEY_TYPE) || *static_cast<CK_KEY_TYPE*>(a.pValue) != o.keyType)
          return false;
        break;
      case CKA_LABEL:
        if (want != o.label) return false;
        break;
      case CKA_ID:
        if (want != std::string(o.id.begin(), o.id.end())) return false;
        break;
      default:
        return false;
    }
  }
  return true;
}

CK_RV Put(CK_ATTRIBUTE& a, const void* data, std::size_t n) {
  if (!a.pValue) {
    a.ulValueLen = n;
    return CKR_OK;
  }
  if (a.ulValueLen < n) {
    a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (n) std::memcpy(a.pValue, data, n);
  a.ulValueLen = n;
  return CKR_OK;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- control

void QuentaP11DoubleReset() {
  g_initialised = false;
  g_tokens.clear();
  g_sessions.clear();
  g_forced.clear();
  g_calls.clear();
  g_deviceError = -1;
  g_signedInputs.clear();
}

void QuentaP11DoubleAddToken(unsigned long slot, const char* description, const char* serial,
                             const char* userPin, const char* soPin) {
  Token t;
  t.id = slot;
  t.description = description;
  t.serial = serial;
  t.userPin = userPin;
  t.soPin = soPin;
  g_tokens.push_back(t);
}

// Adds an RSA key: a public and/or a private object with this label and modulus.
void QuentaP11DoubleAddKey(unsigned long slot, const char* label, const unsigned char* modulus,
                           unsigned long length, int withPublic, int withPrivate) {
  Token* t = TokenOf(slot);
  if (!t) return;
  Object o{0, CKO_PUBLIC_KEY, CKK_RSA, label, std::vector<unsigned char>(modulus, modulus + length), {}};
  if (withPublic) {
    o.handle = g_nextObject++;
    t->objects.push_back(o);
  }
  if (withPrivate) {
    o.handle = g_nextObject++;
    o.cls = CKO_PRIVATE_KEY;
    t->objects.push_back(o);
  }
}

// Adds an object of another class (a certificate, say) with a label.
void QuentaP11DoubleAddObject(unsigned long slot, unsigned long cls, const char* label) {
  Token* t = TokenOf(slot);
  if (!t) return;
  t->objects.push_back(Object{g_nextObject++, cls, static_cast<CK_KEY_TYPE>(-1), label, {}, {}});
}

void QuentaP11DoubleSetTries(unsigned long slot, int userTries, int soTries) {
  if (Token* t = TokenOf(slot)) {
    t->userTries = userTries;
    t->soTries = soTries;
  }
}

void QuentaP11DoubleSetState(unsigned long slot, int initialised, int userPinSet) {
  if (Token* t = TokenOf(slot)) {
    t->initialised = initialised != 0;
    t->userPinSet = userPinSet != 0;
  }
}

// Makes `function` answer rv (without doing anything) until reset.
void QuentaP11DoubleForce(const char* function, unsigned long rv) { g_forced[function] = rv; }
void QuentaP11DoubleUnforce(const char* function) { g_forced.erase(function); }
// The device error field of C_GetSessionInfo; negative: from the tries.
void QuentaP11DoubleSetDeviceError(long long value) { g_deviceError = value; }

int QuentaP11DoubleCalls(const char* function) {
  auto it = g_calls.find(function);
  return it == g_calls.end() ? 0 : it->second;
}
int QuentaP11DoubleOpenSessions() { return static_cast<int>(g_sessions.size()); }
int QuentaP11DoubleInitialised() { return g_initialised ? 1 : 0; }
int QuentaP11DoubleObjectCount(unsigned long slot) {
  Token* t = TokenOf(slot);
  return t ? static_cast<int>(t->objects.size()) : -1;
}
// Copies the token's user PIN into buffer (size bytes); 0 if no such token.
int QuentaP11DoubleUserPin(unsigned long slot, char* buffer, unsigned long size) {
  Token* t = TokenOf(slot);
  if (!t || size == 0) return 0;
  std::strncpy(buffer, t->userPin.c_str(), size - 1);
  buffer[size - 1] = 0;
  return 1;
}
// The bytes handed to C_Sign last (size in *length, at most the buffer).
int QuentaP11DoubleLastSigned(unsigned char* buffer, unsigned long* length) {
  if (g_signedInputs.empty()) return 0;
  const auto& last = g_signedInputs.back();
  unsigned long n = last.size() < *length ? last.size() : *length;
  std::memcpy(buffer, last.data(), n);
  *length = n;
  return 1;
}

// ---------------------------------------------------------------- PKCS#11

static CK_RV Initialize(void* args) {
  FORCE("C_Initialize");
  (void)args;
  if (g_initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  g_initialised = true;
  return CKR_OK;
}

static CK_RV Finalize(void*) {
  FORCE("C_Finalize");
  if (!g_initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
  g_initialised = false;
  g_sessions.clear();
  return CKR_OK;
}

static CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  FORCE("C_GetSlotList");
  if (!g_initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (list) {
    if (*count < g_tokens.size()) {
      *count = g_tokens.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    for (std::size_t i = 0; i < g_tokens.size(); ++i) list[i] = g_tokens[i].id;
  }
  *count = g_tokens.size();
  return CKR_OK;
}

static CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  FORCE("C_GetSlotInfo");
  Token* t = TokenOf(slot);
  if (!t) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  Blank(info->slotDescription, sizeof info->slotDescription, t->description);
  Blank(info->manufacturerID, sizeof info->manufacturerID, "Quenta tests");
  info->flags = CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
  return CKR_OK;
}

static CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  FORCE("C_GetTokenInfo");
  Token* t = TokenOf(slot);
  if (!t) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  Blank(info->label, sizeof info->label, "double");
  Blank(info->manufacturerID, sizeof info->manufacturerID, "Quenta tests");
  Blank(info->model, sizeof info->model, "double");
  Blank(info->serialNumber, sizeof info->serialNumber, t->serial);
  info->flags = CKF_LOGIN_REQUIRED | CKF_RNG;
  if (t->initialised) info->flags |= CKF_TOKEN_INITIALIZED;
  if (t->userPinSet) info->flags |= CKF_USER_PIN_INITIALIZED;
  if (t->userTries == 0) info->flags |= CKF_USER_PIN_LOCKED;
  if (t->soTries == 0) info->flags |= CKF_SO_PIN_LOCKED;
  info->ulMaxPinLen = 16;
  info->ulMinPinLen = 4;
  return CKR_OK;
}

static CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR out) {
  FORCE("C_OpenSession");
  if (!g_initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!TokenOf(slot)) return CKR_SLOT_ID_INVALID;
  if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  *out = g_nextSession++;
  Session s;
  s.slot = slot;
  g_sessions[*out] = s;
  return CKR_OK;
}

static CK_RV CloseSession(CK_SESSION_HANDLE h) {
  FORCE("C_CloseSession");
  if (!g_sessions.erase(h)) return CKR_SESSION_HANDLE_INVALID;
  return CKR_OK;
}

static CK_RV GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
  FORCE("C_GetSessionInfo");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  Token* t = TokenOf(s->slot);
  std::memset(info, 0, sizeof *info);
  info->slotID = s->slot;
  info->flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
  info->state = s->user == CKU_USER ? CKS_RW_USER_FUNCTIONS
                : s->user == CKU_SO ? CKS_RW_SO_FUNCTIONS
                                    : CKS_RW_PUBLIC_SESSION;
  info->ulDeviceError = g_deviceError >= 0
                            ? static_cast<CK_ULONG>(g_deviceError)
                            : (static_cast<CK_ULONG>(t->userTries) << 16) |
                                  (static_cast<CK_ULONG>(t->soTries) << 24);
  return CKR_OK;
}

static CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  FORCE("C_Login");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (s->user == user) return CKR_USER_ALREADY_LOGGED_IN;
  if (s->user != static_cast<CK_USER_TYPE>(-1)) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  Token* t = TokenOf(s->slot);
  int& tries = user == CKU_SO ? t->soTries : t->userTries;
  const std::string& want = user == CKU_SO ? t->soPin : t->userPin;
  if (user == CKU_USER && !t->userPinSet) return CKR_USER_PIN_NOT_INITIALIZED;
  if (tries == 0) return CKR_PIN_LOCKED;
  if (std::string(reinterpret_cast<char*>(pin), length) != want) {
    --tries;
    return tries == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
  }
  tries = kMaxTries;
  s->user = user;
  return CKR_OK;
}

static CK_RV Logout(CK_SESSION_HANDLE h) {
  FORCE("C_Logout");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (s->user == static_cast<CK_USER_TYPE>(-1)) return CKR_USER_NOT_LOGGED_IN;
  s->user = static_cast<CK_USER_TYPE>(-1);
  return CKR_OK;
}

static CK_RV InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  FORCE("C_InitPIN");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (s->user != CKU_SO) return CKR_USER_NOT_LOGGED_IN;
  Token* t = TokenOf(s->slot);
  t->userPin.assign(reinterpret_cast<char*>(pin), length);
  t->userPinSet = true;
  t->userTries = kMaxTries;
  return CKR_OK;
}

static CK_RV SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
                    CK_UTF8CHAR_PTR newPin, CK_ULONG newLength) {
  FORCE("C_SetPIN");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  Token* t = TokenOf(s->slot);
  const bool so = s->user == CKU_SO;
  std::string& pin = so ? t->soPin : t->userPin;
  int& tries = so ? t->soTries : t->userTries;
  if (tries == 0) return CKR_PIN_LOCKED;
  if (std::string(reinterpret_cast<char*>(oldPin), oldLength) != pin) {
    --tries;
    return tries == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
  }
  pin.assign(reinterpret_cast<char*>(newPin), newLength);
  tries = kMaxTries;
  return CKR_OK;
}

static CK_RV InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG length, CK_UTF8CHAR_PTR) {
  FORCE("C_InitToken");
  Token* t = TokenOf(slot);
  if (!t) return CKR_SLOT_ID_INVALID;
  for (auto& [h, s] : g_sessions)
    if (s.slot == slot) return CKR_SESSION_EXISTS;
  if (t->soTries == 0) return CKR_PIN_LOCKED;
  if (t->initialised && std::string(reinterpret_cast<char*>(pin), length) != t->soPin) {
    --t->soTries;
    return CKR_PIN_INCORRECT;
  }
  t->soPin.assign(reinterpret_cast<char*>(pin), length);
  t->initialised = true;
  t->userPinSet = false;
  t->userPin.clear();
  t->objects.clear();
  t->soTries = kMaxTries;
  t->userTries = kMaxTries;
  return CKR_OK;
}

static CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
  FORCE("C_FindObjectsInit");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (s->finding) return CKR_OPERATION_ACTIVE;
  s->finding = true;
  s->found.clear();
  s->next = 0;
  for (const Object& o : TokenOf(s->slot)->objects)
    if (Matches(o, templ, count)) s->found.push_back(o.handle);
  return CKR_OK;
}

static CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
  FORCE("C_FindObjects");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  *count = 0;
  while (*count < max && s->next < s->found.size()) out[(*count)++] = s->found[s->next++];
  return CKR_OK;
}

static CK_RV FindObjectsFinal(CK_SESSION_HANDLE h) {
  FORCE("C_FindObjectsFinal");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  s->finding = false;
  return CKR_OK;
}

static CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ,
                               CK_ULONG count) {
  FORCE("C_GetAttributeValue");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  Object* o = ObjectOf(*TokenOf(s->slot), object);
  if (!o) return CKR_OBJECT_HANDLE_INVALID;
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& a = templ[i];
    CK_RV rv;
    switch (a.type) {
      case CKA_CLASS: rv = Put(a, &o->cls, sizeof o->cls); break;
      case CKA_KEY_TYPE: rv = Put(a, &o->keyType, sizeof o->keyType); break;
      case CKA_LABEL: rv = Put(a, o->label.data(), o->label.size()); break;
      case CKA_ID: rv = Put(a, o->id.data(), o->id.size()); break;
      case CKA_MODULUS:
        if (o->cls != CKO_PUBLIC_KEY && o->cls != CKO_PRIVATE_KEY) {
          a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
          rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else {
          rv = Put(a, o->modulus.data(), o->modulus.size());
        }
        break;
      default:
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (rv != CKR_OK) result = rv;
  }
  return result;
}

static CK_RV SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ,
                               CK_ULONG count) {
  FORCE("C_SetAttributeValue");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  Object* o = ObjectOf(*TokenOf(s->slot), object);
  if (!o) return CKR_OBJECT_HANDLE_INVALID;
  for (CK_ULONG i = 0; i < count; ++i) {
    const char* p = static_cast<const char*>(templ[i].pValue);
    if (templ[i].type == CKA_LABEL) o->label.assign(p, templ[i].ulValueLen);
    else if (templ[i].type == CKA_ID) o->id.assign(p, p + templ[i].ulValueLen);
    else return CKR_ATTRIBUTE_TYPE_INVALID;
  }
  return CKR_OK;
}

static CK_RV DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object) {
  FORCE("C_DestroyObject");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  auto& objects = TokenOf(s->slot)->objects;
  for (auto it = objects.begin(); it != objects.end(); ++it) {
    if (it->handle == object) {
      objects.erase(it);
      return CKR_OK;
    }
  }
  return CKR_OBJECT_HANDLE_INVALID;
}

static CK_RV GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR,
                             CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR publicKey,
                             CK_OBJECT_HANDLE_PTR privateKey) {
  FORCE("C_GenerateKeyPair");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (mechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) return CKR_MECHANISM_INVALID;
  if (s->user != CKU_USER) return CKR_USER_NOT_LOGGED_IN;
  std::vector<unsigned char> modulus(128);
  for (std::size_t i = 0; i < modulus.size(); ++i)
    modulus[i] = static_cast<unsigned char>(0x80 | (g_nextObject * 7 + i * 13));
  Token* t = TokenOf(s->slot);
  Object o{g_nextObject++, CKO_PUBLIC_KEY, CKK_RSA, "", modulus, {}};
  t->objects.push_back(o);
  *publicKey = o.handle;
  o.handle = g_nextObject++;
  o.cls = CKO_PRIVATE_KEY;
  t->objects.push_back(o);
  *privateKey = o.handle;
  return CKR_OK;
}

static CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  FORCE("C_SignInit");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (s->user != CKU_USER) return CKR_USER_NOT_LOGGED_IN;
  if (mechanism->mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
  if (!ObjectOf(*TokenOf(s->slot), key)) return CKR_KEY_HANDLE_INVALID;
  s->signKey = key;
  s->op = 1;
  return CKR_OK;
}

static CK_RV Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                  CK_ULONG_PTR outLength) {
  FORCE("C_Sign");
  Session* s = SessionOf(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  if (s->op != 1) return CKR_OPERATION_NOT_INITIALIZED;
  Object* key = ObjectOf(*TokenOf(s->slot), s->signKey);
  const std::size_t n = key->modulus.size();
  if (!out) {
    *outLength = n;
    return CKR_OK;
  }
  if (*outLength < n) {
    *outLength = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  g_signedInputs.emplace_back(data, data + length);
  std::memset(out, 0x5A, n);
  *outLength = n;
  s->op = 0;
  return CKR_OK;
}

static CK_RV NotSupported() { return CKR_FUNCTION_NOT_SUPPORTED; }

static CK_FUNCTION_LIST g_list;

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
  if (!out) return CKR_ARGUMENTS_BAD;
  CK_RV forced;
  if (Forced("C_GetFunctionList", &forced)) return forced;
  // Every slot first answers "not supported"; the calls the double knows
  // are filled in below.
  void (**slots)() = reinterpret_cast<void (**)()>(&g_list.C_Initialize);
  const std::size_t count =
      (sizeof g_list - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void (*)());
  for (std::size_t i = 0; i < count; ++i) slots[i] = reinterpret_cast<void (*)()>(&NotSupported);
  g_list.version.major = 2;
  g_list.version.minor = 20;
  g_list.C_Initialize = Initialize;
  g_list.C_Finalize = Finalize;
  g_list.C_GetFunctionList = C_GetFunctionList;
  g_list.C_GetSlotList = GetSlotList;
  g_list.C_GetSlotInfo = GetSlotInfo;
  g_list.C_GetTokenInfo = GetTokenInfo;
  g_list.C_OpenSession = OpenSession;
  g_list.C_CloseSession = CloseSession;
  g_list.C_GetSessionInfo = GetSessionInfo;
  g_list.C_Login = Login;
  g_list.C_Logout = Logout;
  g_list.C_InitPIN = InitPIN;
  g_list.C_SetPIN = SetPIN;
  g_list.C_InitToken = InitToken;
  g_list.C_FindObjectsInit = FindObjectsInit;
  g_list.C_FindObjects = FindObjects;
  g_list.C_FindObjectsFinal = FindObjectsFinal;
  g_list.C_GetAttributeValue = GetAttributeValue;
  g_list.C_SetAttributeValue = SetAttributeValue;
  g_list.C_DestroyObject = DestroyObject;
  g_list.C_GenerateKeyPair = GenerateKeyPair;
  g_list.C_SignInit = SignInit;
  g_list.C_Sign = Sign;
  *out = &g_list;
  return CKR_OK;
}

}  // extern "C"
