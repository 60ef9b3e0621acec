// Native messaging frames: a 32-bit length in the machine's own byte order,
// then that many bytes of UTF-8 JSON. The browser writes requests to the
// host's standard input and reads replies from its standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/secure.h"

namespace quenta {

// The largest request body the host accepts. Requests carry order texts and
// key material in hexadecimal; 64 MiB is far beyond any real one and still
// small enough to hold in memory.
constexpr uint32_t kMaxRequestBytes = 64u * 1024 * 1024;
// The largest message body a browser accepts from a host.
constexpr uint32_t kMaxReplyBytes = 1024 * 1024;

// Request bytes: wiped when released, since they may carry secrets.
using FrameBytes = std::vector<char, WipingAllocator<char>>;

// Cuts a byte stream into frames, whatever pieces it arrives in.
class CFrameDecoder {
 public:
  explicit CFrameDecoder(uint32_t limit = kMaxRequestBytes) : limit_(limit) {}

  enum Status {
    kNeedMore,   // no complete frame held
    kFrame,      // *body holds the next frame's body
    kOversized,  // the next frame's length is above the limit; the stream
                 // cannot be resynchronised and the decoder stays here
  };

  // Appends bytes read from the stream. Ignored once oversized: the rest of
  // such a frame is never held in memory.
  void Feed(const char* data, std::size_t n);
  Status Next(FrameBytes* body);

  // Bytes of an unfinished frame are held (a stream ending now ends inside
  // a frame).
  bool MidFrame() const { return pending_.size() > start_; }
  // The length announced by the frame that made the decoder oversized.
  uint32_t RefusedLength() const { return refused_; }

 private:
  uint32_t limit_;
  FrameBytes pending_;
  std::size_t start_ = 0;  // first unconsumed byte of pending_
  bool oversized_ = false;
  uint32_t refused_ = 0;
};

// The frame for a message body: length prefix and body.
std::string EncodeFrame(const std::string& body);

}  // namespace quenta
