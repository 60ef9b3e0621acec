#include "plugin/method_table.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace quenta {

namespace {

constexpr ArgKind S = ArgKind::kString;
constexpr ArgKind I = ArgKind::kInteger;

const MethodEntry kMethodEntries[kMethodCount] = {
    {MethodId::kTestComponent, "TestComponent", -1, {}},
    {MethodId::kGenerateKey, "GenerateKey", 1, {S}},
    {MethodId::kSign, "Sign", 3, {S, S, S}},
    {MethodId::kSetKey, "SetKey", 4, {S, S, S, I}},
    {MethodId::kInitializeCard, "InitializeCard", -1, {}},
    {MethodId::kShowKeyboard, "ShowKeyboard", -1, {}},
    {MethodId::kSetLanguage, "SetLanguage", 1, {I}},
    {MethodId::kChangePIN, "ChangePIN", -1, {}},
    {MethodId::kChangePUK, "ChangePUK", -1, {}},
    {MethodId::kRemoveKey, "RemoveKey", 1, {S}},
    {MethodId::kRegisterCert, "RegisterCert", -2, {}},
    {MethodId::kSign2, "Sign2", 2, {S, S}},
    {MethodId::kAddCardModel, "AddCardModel", 1, {S}},
    {MethodId::kSetSignDialogType, "SetSignDialogType", 1, {I}},
    {MethodId::kUnblockCard, "UnblockCard", -1, {}},
    {MethodId::kEncryptRand, "EncryptRand", 5, {S, S, S, I, S}},
    {MethodId::kDecryptRand, "DecryptRand", 3, {S, S, I}},
    {MethodId::kChangeKeyLocation, "ChangeKeyLocation", 1, {S}},
    {MethodId::kGetKeyLocation, "GetKeyLocation", 1, {S}},
    {MethodId::kRemoveKeysFromCard, "RemoveKeysFromCard", -1, {}},
    {MethodId::kRemoveKeysFromSmartCard, "RemoveKeysFromSmartCard", -1, {}},
    {MethodId::kSetKeyLocation, "SetKeyLocation", 2, {S, S}},
    {MethodId::kRemoveKeysFromUSBToken, "RemoveKeysFromUSBToken", -1, {}},
};

}  // namespace

const MethodId kDispatchOrder[kMethodCount] = {
    MethodId::kTestComponent, MethodId::kShowKeyboard, MethodId::kSetLanguage,
    MethodId::kSetKey, MethodId::kSign, MethodId::kRemoveKey, MethodId::kRegisterCert,
    MethodId::kSign2, MethodId::kAddCardModel, MethodId::kSetSignDialogType,
    MethodId::kGenerateKey, MethodId::kInitializeCard, MethodId::kChangePIN,
    MethodId::kChangePUK, MethodId::kUnblockCard, MethodId::kEncryptRand,
    MethodId::kDecryptRand, MethodId::kChangeKeyLocation, MethodId::kGetKeyLocation,
    MethodId::kRemoveKeysFromCard, MethodId::kRemoveKeysFromSmartCard,
    MethodId::kSetKeyLocation, MethodId::kRemoveKeysFromUSBToken,
};

const MethodEntry& GetMethodEntry(MethodId id) { return kMethodEntries[static_cast<int>(id)]; }

bool FindMethodByName(const std::string& name, MethodId* id) {
  for (MethodId m : kDispatchOrder) {
    if (name == GetMethodEntry(m).name) {
      if (id) *id = m;
      return true;
    }
  }
  return false;
}

int32_t ConvertIntegerArgument(const ScriptValue& v) {
  switch (v.type) {
    case ScriptValue::kInt:
      return v.intValue;
    case ScriptValue::kDouble: {
      double d = v.doubleValue;
      if (std::isnan(d)) return 0;
      d = std::trunc(d);
      if (d >= 2147483647.0) return std::numeric_limits<int32_t>::max();
      if (d <= -2147483648.0) return std::numeric_limits<int32_t>::min();
      return static_cast<int32_t>(d);
    }
    case ScriptValue::kString: {
      const std::string& s = v.stringValue;
      std::size_t i = 0, n = s.size();
      while (i < n && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
      bool negative = false;
      if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
      int64_t value = 0;
      while (i < n && s[i] >= '0' && s[i] <= '9') {
        value = value * 10 + (s[i++] - '0');
        if (value > 2147483648LL) value = 2147483648LL;  // saturate, keep reading
      }
      if (negative) value = -value;
      if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
      return static_cast<int32_t>(value);
    }
    default:
      return -1;
  }
}

}  // namespace quenta
