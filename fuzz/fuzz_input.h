// Reads a fuzz input from the front: bytes, little-endian integers and
// length-prefixed byte strings. Past the end every read gives zeros, so
// any input decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace quenta_fuzz {

class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  std::size_t Left() const { return at_ < size_ ? size_ - at_ : 0; }

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
  std::uint32_t U32() { return U16() | (static_cast<std::uint32_t>(U16()) << 16); }
  std::uint64_t U64() { return U32() | (static_cast<std::uint64_t>(U32()) << 32); }

  // Up to n bytes, fewer when the input ends.
  std::string Bytes(std::size_t n) {
    if (n > Left()) n = Left();
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  // A string with a one-byte length.
  std::string ShortString() { return Bytes(Byte()); }
  // A string with a two-byte length.
  std::string String() { return Bytes(U16()); }
  // The rest of the input.
  std::string Rest() { return Bytes(Left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace quenta_fuzz
