// CProofOfPossesion::Unpack on arbitrary bytes. A record that unpacks packs
// again, and the packed form unpacks to the same fields. Unpacking into a
// record that already holds fields replaces them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/network_msg.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quenta::CProofOfPossesion record;
  record.SetResult(reinterpret_cast<const unsigned char*>("old"), 3);
  record.SetKeyName("old key");
  if (record.Unpack(data, size) != 1) return 0;

  FUZZ_CHECK(record.resultLength >= 0);
  FUZZ_CHECK(record.result != nullptr && record.keyName != nullptr);
  const unsigned char* packed = record.Pack();
  FUZZ_CHECK(packed != nullptr);
  FUZZ_CHECK(record.PackedLength() <= size);
  const std::vector<unsigned char> copy(packed, packed + record.PackedLength());

  quenta::CProofOfPossesion again;
  FUZZ_CHECK(again.Unpack(copy.data(), copy.size()) == 1);
  FUZZ_CHECK(again.resultLength == record.resultLength);
  FUZZ_CHECK(std::memcmp(again.result, record.result, record.resultLength) == 0);
  FUZZ_CHECK(std::strcmp(again.keyName, record.keyName) == 0);
  return 0;
}
