// PemDecode of one armour type (QUENTA_PEM_TYPE) on arbitrary text. The
// first input byte sets the output buffer size, so the output limit is
// explored too; the buffer is a heap block of exactly that size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/encoding.h"
#include "fuzz/fuzz_check.h"

#ifndef QUENTA_PEM_TYPE
#error "QUENTA_PEM_TYPE selects the armour type"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t capacity = static_cast<std::size_t>(data[0]) * 16;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  std::vector<unsigned char> buffer(capacity);
  std::size_t count = capacity;
  const int rc = quenta::PemDecode(text, length, QUENTA_PEM_TYPE, buffer.data(), &count);
  switch (rc) {
    case 0:
      FUZZ_CHECK(count < capacity || count == 0);
      break;
    case 1:
    case 2:
    case 3:
      FUZZ_CHECK(count == capacity);
      break;
    default:
      FUZZ_CHECK(!"unexpected result code");
  }

  // An unknown type is refused whatever the text.
  std::size_t unused = capacity;
  FUZZ_CHECK(quenta::PemDecode(text, length, 1, buffer.data(), &unused) == 4);
  return 0;
}
