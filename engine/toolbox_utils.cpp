#include "engine/toolbox_utils.h"

#include <cstring>
#include <string>

#include "engine/encoding.h"

namespace quenta {

CToolboxUtils::CToolboxUtils() : components_(MachineComponents()) {}

CToolboxUtils::CToolboxUtils(CCfgReg& components) : components_(components) {}

bool CToolboxUtils::ReadsOne(const char* name) const {
  auto data = components_.GetValue(name);
  if (!data) return false;
  const char* text = reinterpret_cast<const char*>(data->data());
  return std::string(text, ::strnlen(text, data->size())) == "1";
}

bool CToolboxUtils::UsbTokenSupport() const { return ReadsOne("GemPCKey USB"); }

bool CToolboxUtils::SmartCardSupport() const { return ReadsOne("GemPCTwin USB"); }

bool CToolboxUtils::IsTokenAtr(const unsigned char* atr, std::size_t n) const {
  if (!atr || n == 0) return false;
  auto data = components_.GetValue("Tokens");
  if (!data) return false;
  std::string hex;
  if (HexEncode(atr, n, hex) != 0) return false;
  // Zero-terminated strings up to the first empty one or the end of the
  // data (a plain string value is accepted as a one-entry list).
  const char* p = reinterpret_cast<const char*>(data->data());
  const char* end = p + data->size();
  while (p < end) {
    std::size_t len = ::strnlen(p, static_cast<std::size_t>(end - p));
    if (len == 0) break;
    if (hex.size() == len && std::memcmp(hex.data(), p, len) == 0) return true;
    p += len + 1;
  }
  return false;
}

bool CToolboxUtils::IsSpecialCardAtr(const unsigned char* atr, std::size_t n) const {
  if (!atr || n == 0) return false;
  std::string hex;
  return HexEncode(atr, n, hex) == 0 && hex == kSpecialCardAtr;
}

}  // namespace quenta
