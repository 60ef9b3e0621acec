#include "nmhost/framing.h"

#include <cstring>

namespace quenta {

void CFrameDecoder::Feed(const char* data, std::size_t n) {
  if (oversized_ || !n) return;
  // Drop what has been consumed before growing, so a long stream of small
  // frames never accumulates.
  if (start_ && start_ == pending_.size()) {
    pending_.clear();
    start_ = 0;
  } else if (start_ > 4096 && start_ * 2 > pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  pending_.insert(pending_.end(), data, data + n);
}

CFrameDecoder::Status CFrameDecoder::Next(FrameBytes* body) {
  if (oversized_) return kOversized;
  std::size_t held = pending_.size() - start_;
  if (held < 4) return kNeedMore;
  uint32_t length;
  std::memcpy(&length, pending_.data() + start_, 4);
  if (length > limit_) {
    oversized_ = true;
    refused_ = length;
    pending_.clear();
    start_ = 0;
    return kOversized;
  }
  if (held - 4 < length) return kNeedMore;
  const char* first = pending_.data() + start_ + 4;
  body->assign(first, first + length);
  SecureWipe(pending_.data() + start_, 4 + length);
  start_ += 4 + length;
  if (start_ == pending_.size()) {
    pending_.clear();
    start_ = 0;
  }
  return kFrame;
}

std::string EncodeFrame(const std::string& body) {
  uint32_t length = static_cast<uint32_t>(body.size());
  std::string frame(4 + body.size(), '\0');
  std::memcpy(&frame[0], &length, 4);
  if (!body.empty()) std::memcpy(&frame[4], body.data(), body.size());
  return frame;
}

}  // namespace quenta
