// Records exchanged with the page: a type byte followed by fields, each a
// 4-byte big-endian length and that many bytes. A record type registers
// pointers to its own field storage; packing reads that storage and
// unpacking replaces it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/secure.h"

namespace quenta {

class CNetworkMsg {
 public:
  explicit CNetworkMsg(int32_t type);
  virtual ~CNetworkMsg();
  CNetworkMsg(const CNetworkMsg&) = delete;
  CNetworkMsg& operator=(const CNetworkMsg&) = delete;

  // Register the next field. Text storage is a zero-terminated text
  // allocated with new[]; buffer storage is a byte block allocated with
  // new[] whose size is *length. The record frees (and for buffers wipes)
  // what the storage holds on Clear, on Unpack and on destruction.
  // 1, or 0 for null storage (or no memory).
  int AddText(char** storage);
  int AddBuffer(unsigned char** storage, int32_t* length);

  // Resets the positions and frees every field (buffers are wiped first,
  // their lengths set to 0); the storage pointers become null.
  virtual void Clear();

  // Serialises the record into the internal buffer and returns it; the
  // packed size is PackedLength(). The buffer stays valid until the next
  // Pack, Clear or destruction. Null (and PackedLength() 0) when a field
  // cannot be packed: a negative length, a null buffer with a non-zero
  // length, or a size beyond the 32-bit length field or memory.
  virtual const unsigned char* Pack();

  // Reads a record from bytes[0..length). 1 when every field was read, 0
  // otherwise. The type byte is taken but not checked. A field whose
  // declared length exceeds the bytes that remain, or which is cut short,
  // fails and is left null; the fields after it keep their values.
  virtual int Unpack(const unsigned char* bytes, std::size_t length);

  std::size_t PackedLength() const { return written_; }
  std::size_t Capacity() const { return buffer_.size(); }
  int32_t Type() const { return type_; }

 protected:
  // Clears, then drops the descriptors. A derived record whose fields are its
  // own members calls this from its destructor, while the members still
  // exist; the base destructor then has nothing left to touch.
  void ReleaseFields();
  // Frees what a field holds (buffers wiped over their length).
  static void FreeText(char** storage);
  static void FreeBuffer(unsigned char** storage, int32_t* length);

 private:
  enum class FieldKind { kText, kBuffer };
  struct Field {
    FieldKind kind;
    char** text;            // text kind
    unsigned char** bytes;  // buffer kind
    int32_t* length;        // buffer kind
  };

  bool Append(const void* bytes, std::size_t n);
  bool AppendLength(std::size_t n);
  bool Take(void* out, std::size_t n);
  bool UnpackField(const Field& field);

  int32_t type_;
  std::vector<Field> fields_;
  SecureBytes buffer_;
  std::size_t written_ = 0;
  const unsigned char* readStart_ = nullptr;
  std::size_t readPosition_ = 0;
  std::size_t readLength_ = 0;
};

// The proof-of-possession record: the result of a private-key operation and
// the name of the key that produced it (or is to use it).
class CProofOfPossesion : public CNetworkMsg {
 public:
  CProofOfPossesion();
  ~CProofOfPossesion() override;

  // Replace the fields with copies; 1, or 0 for no memory or a length that
  // does not fit the record (n above INT32_MAX). A null source clears.
  int SetResult(const unsigned char* bytes, std::size_t n);
  int SetKeyName(const char* name);

  // Owned by the record, allocated with new[] (see CNetworkMsg::AddBuffer).
  unsigned char* result = nullptr;
  int32_t resultLength = 0;
  char* keyName = nullptr;
};

}  // namespace quenta
