#include "plugin/method_dispatcher.h"

#include <new>
#include <string>

#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "engine/secure.h"
#include "plugin/texts.h"

namespace quenta {

namespace {

const char kComponentVersion[] = "1,3,0,85";

// The checked and converted arguments of one call. String copies may hold
// key material or passwords, so they live in wiped storage.
struct Args {
  std::vector<SecureText> strings;
  std::vector<int32_t> ints;
  std::vector<int> index;  // per argument: position in strings or ints

  const char* S(int i) const { return strings[index[i]].c_str(); }
  int32_t I(int i) const { return ints[index[i]]; }
};

bool CheckAndConvert(const MethodEntry& entry, const std::vector<ScriptValue>& in, Args& out) {
  if (entry.argCount < 0) return true;  // takes nothing, ignores what it is given
  if (static_cast<int>(in.size()) != entry.argCount) return false;
  for (int i = 0; i < entry.argCount; ++i)
    if (entry.kinds[i] == ArgKind::kString && in[i].type != ScriptValue::kString) return false;
  for (int i = 0; i < entry.argCount; ++i) {
    if (entry.kinds[i] == ArgKind::kString) {
      out.index.push_back(static_cast<int>(out.strings.size()));
      out.strings.emplace_back(in[i].stringValue.data(), in[i].stringValue.size());
    } else {
      out.index.push_back(static_cast<int>(out.ints.size()));
      out.ints.push_back(ConvertIntegerArgument(in[i]));
    }
  }
  return true;
}

std::string Code(int rc) { return std::to_string(rc); }
std::string Code(int rc, const std::string& field) { return std::to_string(rc) + "|" + field; }

}  // namespace

CMethodDispatcher::CMethodDispatcher() : engine_(new CKeysStorageComp()) {}
CMethodDispatcher::~CMethodDispatcher() = default;

ScriptResult CMethodDispatcher::Call(MethodId method, const std::vector<ScriptValue>& argv) {
  try {
    const MethodEntry& entry = GetMethodEntry(method);
    Args a;
    if (!CheckAndConvert(entry, argv, a)) return ScriptResult::Exception();
    if (method == MethodId::kTestComponent)
      return ScriptResult::Text(std::string("OK|") + kComponentVersion);
    if (method == MethodId::kRegisterCert) return ScriptResult::Untouched();
    if (busy_) return ScriptResult::Text(Code(kErrBusy));
    struct BusyScope {
      bool& flag;
      explicit BusyScope(bool& f) : flag(f) { flag = true; }
      ~BusyScope() { flag = false; }
    } busyScope(busy_);
    CKeysStorageComp& e = *engine_;

    switch (method) {
      case MethodId::kTestComponent:
        return ScriptResult::Text(std::string("OK|") + kComponentVersion);

      case MethodId::kGenerateKey: {
        int kind = 255;
        std::string software, pub, keyId, name, names;
        int rc = e.GenerateKey(1024, a.S(0), &kind, &software, &pub, &keyId, &name, &names);
        if (rc == kOk)
          return ScriptResult::Text(Code(rc, name) + "|" + std::to_string(kind) + "|" + software +
                                    "|" + pub + "|" + keyId);
        if (rc == kErrBothPinsLocked) return ScriptResult::Text(Code(rc, names));
        return ScriptResult::Text(Code(rc));
      }

      case MethodId::kSign:
      case MethodId::kSign2: {
        bool withDialog = method == MethodId::kSign;
        std::string signature, used, names;
        int rc = withDialog ? e.Sign(a.S(0), a.S(1), a.S(2), 1, &signature, &used, &names)
                            : e.Sign("", a.S(1), a.S(0), 2, &signature, &used, &names);
        if (rc == kOk)
          return ScriptResult::Text(withDialog ? Code(rc, used) + "|" + signature
                                               : Code(rc, signature));
        if (rc == kErrKeyBlocked || rc == kErrBadPassword) return ScriptResult::Text(Code(rc, used));
        return ScriptResult::Text(Code(rc));
      }

      case MethodId::kSetKey:
        return ScriptResult::Text(
            Code(e.SetKey(a.S(0), a.S(1), a.S(2), static_cast<uint8_t>(a.I(3) & 0xFF))));

      case MethodId::kRemoveKey:
        return ScriptResult::Text(Code(e.RemoveKey(a.S(0))));

      case MethodId::kAddCardModel:
        return ScriptResult::Text(Code(e.AddCardModel(a.S(0))));

      case MethodId::kSetSignDialogType: {
        int type = a.I(0);
        e.SetSignDialogType(type == 1 ? 0 : type == 2 ? 1 : 2);
        return ScriptResult::Text("0");
      }

      case MethodId::kSetLanguage:
        SelectLanguage(a.I(0));
        return ScriptResult::VoidResult();

      case MethodId::kShowKeyboard: {
        std::string text;
        int endValue = 0;
        int rc = e.ShowKeyboard(&text, &endValue);
        if (rc == kOk) return ScriptResult::Text(Code(rc, text));
        if (rc == kErrCancelled) return ScriptResult::Text(Code(rc, std::to_string(endValue)));
        return ScriptResult::Text(Code(rc));
      }

      case MethodId::kInitializeCard: {
        std::string names;
        bool hasNames = false;
        int rc = e.InitializeCard(true, &names, &hasNames);
        return ScriptResult::Text(hasNames ? Code(rc, names) : Code(rc));
      }

      case MethodId::kChangePIN:
      case MethodId::kChangePUK:
      case MethodId::kUnblockCard: {
        std::string names;
        int rc = method == MethodId::kChangePIN   ? e.ChangePIN(&names)
                 : method == MethodId::kChangePUK ? e.ChangePUK(&names)
                                                  : e.UnblockCard(&names);
        return ScriptResult::Text(rc == kErrBothPinsLocked ? Code(rc, names) : Code(rc));
      }

      case MethodId::kEncryptRand: {
        std::string message, used, names;
        int rc = e.EncryptRand(a.S(0), a.S(1), a.S(2), a.I(3), a.S(4), &message, &used, &names);
        if (rc == kOk) return ScriptResult::Text(Code(rc, message));
        if (rc == kErrKeyBlocked || rc == kErrBadPassword) return ScriptResult::Text(Code(rc, used));
        if (rc == kErrBothPinsLocked) return ScriptResult::Text(Code(rc, names));
        return ScriptResult::Text(Code(rc));
      }

      case MethodId::kDecryptRand: {
        std::string digest, used, names;
        bool hasDigest = false;
        int mode = a.I(2);
        int rc = e.DecryptRand(a.S(0), a.S(1), mode, &digest, &hasDigest, &used, &names);
        if (rc == kErrBothPinsLocked) return ScriptResult::Text(Code(rc, names));
        if (rc == kErrKeyBlocked || rc == kErrBadPassword) return ScriptResult::Text(Code(rc, used));
        // Mode 2 always carries the digest field; it is empty when the
        // engine holds no digest to give.
        if (mode == 2) return ScriptResult::Text(Code(rc, hasDigest ? digest : std::string()));
        return ScriptResult::Text(Code(rc));
      }

      case MethodId::kChangeKeyLocation: {
        std::string location;
        int rc = e.ChangeKeyLocation(a.S(0), location);
        return ScriptResult::Text(rc == kOk ? Code(rc, location) : Code(rc));
      }

      case MethodId::kGetKeyLocation: {
        std::string location;
        int rc = e.GetKeyLocation(a.S(0), location);
        return ScriptResult::Text(rc == kOk ? Code(rc, location) : Code(rc));
      }

      case MethodId::kSetKeyLocation: {
        SecureBytes path;
        int rc = HexDecode(a.S(1), path);
        if (rc != kOk) return ScriptResult::Text(Code(rc));
        std::string text(reinterpret_cast<const char*>(path.data()), path.size());
        text.resize(std::char_traits<char>::length(text.c_str()));
        return ScriptResult::Text(Code(e.SetKeyLocation(a.S(0), text.c_str())));
      }

      case MethodId::kRemoveKeysFromCard:
      case MethodId::kRemoveKeysFromSmartCard:
      case MethodId::kRemoveKeysFromUSBToken: {
        int mode = method == MethodId::kRemoveKeysFromCard        ? kDeviceAny
                   : method == MethodId::kRemoveKeysFromSmartCard ? kDeviceSmartCard
                                                                  : kDeviceUsbToken;
        std::string names;
        int rc = e.DeleteTokenKeys(mode, &names);
        return ScriptResult::Text(names.empty() ? Code(rc) : Code(rc, names));
      }

      case MethodId::kRegisterCert:
        return ScriptResult::Untouched();
    }
    return ScriptResult::Exception();
  } catch (const std::bad_alloc&) {
    return ScriptResult::Exception();  // out of memory: the call fails
  } catch (...) {
    return ScriptResult::Exception();
  }
}

}  // namespace quenta
