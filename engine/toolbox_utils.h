// Answers about the installed device support and card classification, read
// from the machine-wide "SOFTWARE\Norvale\SmartCard\Components" settings.
#pragma once

#include <cstddef>

#include "engine/cfg_reg.h"

namespace quenta {

class CToolboxUtils {
 public:
  // Uses the module-wide MachineComponents() helper.
  CToolboxUtils();
  // Uses another settings key (it must outlive this object).
  explicit CToolboxUtils(CCfgReg& components);

  // "GemPCKey USB" reads "1".
  bool UsbTokenSupport() const;
  // "GemPCTwin USB" reads "1".
  bool SmartCardSupport() const;
  // The upper-case hex text of the answer-to-reset equals one entry of
  // "Tokens". False for a missing or empty ATR.
  bool IsTokenAtr(const unsigned char* atr, std::size_t n) const;
  // The hex text of the answer-to-reset is the one special card's.
  bool IsSpecialCardAtr(const unsigned char* atr, std::size_t n) const;

  static constexpr const char* kSpecialCardAtr = "3BDB960080B1FE451F830031C0641F1801000790005F";

 private:
  bool ReadsOne(const char* name) const;

  CCfgReg& components_;
};

}  // namespace quenta
