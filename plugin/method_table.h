// The 23 page methods: their names, the order their identifiers are made
// in, the order a call is matched in, and the arguments each one takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/script_value.h"

namespace quenta {

// In the order the method identifiers are obtained.
enum class MethodId : int {
  kTestComponent, kGenerateKey, kSign, kSetKey, kInitializeCard, kShowKeyboard,
  kSetLanguage, kChangePIN, kChangePUK, kRemoveKey, kRegisterCert, kSign2,
  kAddCardModel, kSetSignDialogType, kUnblockCard, kEncryptRand, kDecryptRand,
  kChangeKeyLocation, kGetKeyLocation, kRemoveKeysFromCard, kRemoveKeysFromSmartCard,
  kSetKeyLocation, kRemoveKeysFromUSBToken,
};
constexpr int kMethodCount = 23;

enum class ArgKind : uint8_t { kString, kInteger };

struct MethodEntry {
  MethodId id;
  const char* name;
  // -1: takes no arguments and ignores whatever it is given;
  // -2: takes anything (RegisterCert); otherwise the exact count required.
  int argCount;
  ArgKind kinds[5];
};

// Indexed by MethodId.
const MethodEntry& GetMethodEntry(MethodId id);
// The order in which a call's name is compared with the method identifiers.
extern const MethodId kDispatchOrder[kMethodCount];
// By exact (case-sensitive) name; false when the name is not a method.
bool FindMethodByName(const std::string& name, MethodId* id);

// Integer argument conversion: int as is, double truncated toward zero (and
// clamped to the 32-bit range), a string's leading decimal number read over
// exactly its bytes, anything else -1.
int32_t ConvertIntegerArgument(const ScriptValue& v);

}  // namespace quenta
