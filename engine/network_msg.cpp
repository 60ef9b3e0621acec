#include "engine/network_msg.h"

#include <cstring>
#include <exception>
#include <limits>
#include <new>

namespace quenta {

namespace {

constexpr std::size_t kInitialCapacity = 1024;
constexpr std::size_t kMaxFieldLength = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());

}  // namespace

CNetworkMsg::CNetworkMsg(int32_t type) : type_(type) {
  try {
    buffer_.assign(kInitialCapacity, 0);
  } catch (const std::exception&) {
    // Left empty; the first Append grows it.
  }
}

CNetworkMsg::~CNetworkMsg() { ReleaseFields(); }

void CNetworkMsg::ReleaseFields() {
  Clear();
  fields_.clear();
}

int CNetworkMsg::AddText(char** storage) {
  if (!storage) return 0;
  try {
    fields_.push_back(Field{FieldKind::kText, storage, nullptr, nullptr});
  } catch (const std::exception&) {
    return 0;
  }
  return 1;
}

int CNetworkMsg::AddBuffer(unsigned char** storage, int32_t* length) {
  if (!storage || !length) return 0;
  try {
    fields_.push_back(Field{FieldKind::kBuffer, nullptr, storage, length});
  } catch (const std::exception&) {
    return 0;
  }
  return 1;
}

void CNetworkMsg::FreeText(char** storage) {
  delete[] *storage;
  *storage = nullptr;
}

void CNetworkMsg::FreeBuffer(unsigned char** storage, int32_t* length) {
  if (*storage && *length > 0) SecureWipe(*storage, static_cast<std::size_t>(*length));
  delete[] *storage;
  *storage = nullptr;
  *length = 0;
}

void CNetworkMsg::Clear() {
  SecureWipe(buffer_.data(), written_);
  written_ = 0;
  readPosition_ = 0;
  for (const Field& field : fields_) {
    if (field.kind == FieldKind::kText)
      FreeText(field.text);
    else
      FreeBuffer(field.bytes, field.length);
  }
}

bool CNetworkMsg::Append(const void* bytes, std::size_t n) {
  if (!bytes || n == 0) return true;
  const std::size_t capacity = buffer_.size();
  if (n > std::numeric_limits<std::size_t>::max() - written_) return false;
  const std::size_t needed = written_ + n;
  if (needed > capacity) {
    // New size 2 * capacity + needed, refused rather than wrapped around.
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    if (capacity > (max - needed) / 2) return false;
    SecureBytes grown;
    try {
      grown.assign(2 * capacity + needed, 0);
    } catch (const std::exception&) {
      return false;
    }
    if (written_) std::memcpy(grown.data(), buffer_.data(), written_);
    buffer_.swap(grown);  // the old block is wiped as `grown` goes
  }
  std::memcpy(buffer_.data() + written_, bytes, n);
  written_ += n;
  return true;
}

bool CNetworkMsg::AppendLength(std::size_t n) {
  if (n > 0xFFFFFFFFu) return false;
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
      static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
  return Append(bytes, sizeof(bytes));
}

const unsigned char* CNetworkMsg::Pack() {
  SecureWipe(buffer_.data(), written_);
  written_ = 0;
  const unsigned char typeByte = static_cast<unsigned char>(type_ & 0xFF);
  bool ok = Append(&typeByte, 1);
  for (const Field& field : fields_) {
    if (!ok) break;
    if (field.kind == FieldKind::kText) {
      const char* text = *field.text;
      const std::size_t n = text ? std::strlen(text) : 0;
      ok = n <= kMaxFieldLength && AppendLength(n) && Append(text, n);
    } else {
      const int32_t length = *field.length;
      const unsigned char* bytes = *field.bytes;
      if (length < 0 || (length > 0 && !bytes)) {
        ok = false;
      } else {
        const std::size_t n = static_cast<std::size_t>(length);
        ok = AppendLength(n) && Append(bytes, n);
      }
    }
  }
  if (!ok) {
    SecureWipe(buffer_.data(), written_);
    written_ = 0;
    return nullptr;
  }
  return buffer_.data();
}

bool CNetworkMsg::Take(void* out, std::size_t n) {
  if (n > readLength_ - readPosition_) return false;
  if (n) std::memcpy(out, readStart_ + readPosition_, n);
  readPosition_ += n;
  return true;
}

bool CNetworkMsg::UnpackField(const Field& field) {
  unsigned char lengthBytes[4];
  const bool haveLength = Take(lengthBytes, sizeof(lengthBytes));
  if (field.kind == FieldKind::kText)
    FreeText(field.text);
  else
    FreeBuffer(field.bytes, field.length);
  if (!haveLength) return false;

  const std::size_t n = (static_cast<std::size_t>(lengthBytes[0]) << 24) |
                        (static_cast<std::size_t>(lengthBytes[1]) << 16) |
                        (static_cast<std::size_t>(lengthBytes[2]) << 8) |
                        static_cast<std::size_t>(lengthBytes[3]);
  // Checked against what is left of the input, not its whole length, so a
  // later field can never reach past the end.
  if (n > readLength_ - readPosition_ || n > kMaxFieldLength) return false;

  if (field.kind == FieldKind::kText) {
    char* text = new (std::nothrow) char[n + 1]();
    if (!text) return false;
    Take(text, n);
    *field.text = text;
  } else {
    // At least one byte, so that a present but empty buffer is not null.
    unsigned char* bytes = new (std::nothrow) unsigned char[n ? n : 1]();
    if (!bytes) return false;
    Take(bytes, n);
    *field.bytes = bytes;
    *field.length = static_cast<int32_t>(n);
  }
  return true;
}

int CNetworkMsg::Unpack(const unsigned char* bytes, std::size_t length) {
  readStart_ = bytes;
  readPosition_ = 0;
  readLength_ = bytes ? length : 0;

  unsigned char typeByte = 0;
  if (!Take(&typeByte, 1)) return 0;
  type_ = static_cast<int32_t>((static_cast<uint32_t>(type_) & 0xFFFFFF00u) | typeByte);

  for (const Field& field : fields_)
    if (!UnpackField(field)) return 0;
  return 1;
}

CProofOfPossesion::CProofOfPossesion() : CNetworkMsg(1) {
  AddBuffer(&result, &resultLength);
  AddText(&keyName);
}

CProofOfPossesion::~CProofOfPossesion() { ReleaseFields(); }

int CProofOfPossesion::SetResult(const unsigned char* bytes, std::size_t n) {
  if (!bytes) {
    FreeBuffer(&result, &resultLength);
    return 1;
  }
  if (n > kMaxFieldLength) return 0;
  unsigned char* copy = new (std::nothrow) unsigned char[n ? n : 1]();
  if (!copy) return 0;
  if (n) std::memcpy(copy, bytes, n);
  FreeBuffer(&result, &resultLength);
  result = copy;
  resultLength = static_cast<int32_t>(n);
  return 1;
}

int CProofOfPossesion::SetKeyName(const char* name) {
  if (!name) {
    FreeText(&keyName);
    return 1;
  }
  const std::size_t n = std::strlen(name);
  if (n > kMaxFieldLength) return 0;
  char* copy = new (std::nothrow) char[n + 1];
  if (!copy) return 0;
  std::memcpy(copy, name, n + 1);
  FreeText(&keyName);
  keyName = copy;
  return 1;
}

}  // namespace quenta
