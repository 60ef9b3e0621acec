// HexDecode on arbitrary text: a success decodes every digit pair and
// encodes back to the same text (upper case); a failure leaves nothing.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/encoding.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  quenta::SecureBytes out;
  const int rc = quenta::HexDecode(text, size, out);
  if (rc == 0) {
    FUZZ_CHECK(size > 0 && size % 2 == 0 && out.size() == size / 2);
    std::string back;
    FUZZ_CHECK(quenta::HexEncode(out.data(), out.size(), back) == 0);
    FUZZ_CHECK(back.size() == size);
    for (std::size_t i = 0; i < size; ++i)
      FUZZ_CHECK(back[i] == std::toupper(static_cast<unsigned char>(text[i])));
  } else {
    FUZZ_CHECK(rc == 1 && out.empty());
  }

  // The zero-terminated form reads up to the first zero byte.
  const std::string copy(text, size);
  quenta::SecureBytes terminated;
  const int rcTerminated = quenta::HexDecode(copy.c_str(), terminated);
  const std::string prefix(copy.c_str());
  quenta::SecureBytes expected;
  FUZZ_CHECK(rcTerminated == quenta::HexDecode(prefix.data(), prefix.size(), expected));
  FUZZ_CHECK(terminated == expected);
  return 0;
}
