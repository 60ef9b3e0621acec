#include "signing/order_text.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/encoding.h"

namespace quenta {

namespace {

constexpr std::size_t kNone = std::string::npos;

constexpr char kMultiLinePrefix[] = "MULTILINE|";
constexpr std::size_t kMultiLinePrefixLength = sizeof(kMultiLinePrefix) - 1;
constexpr char kOrderMarker[] = "_ZLECENIE_|";
constexpr std::size_t kOrderMarkerLength = sizeof(kOrderMarker) - 1;
constexpr char kIdentificationMarker[] = "_IDENTYFIKACJA";
constexpr std::size_t kIdentificationMarkerLength = sizeof(kIdentificationMarker) - 1;

// Whether the zero-terminated text at s begins with the m characters of
// marker. Stops at the first difference, so it never reads past the
// terminating zero.
inline bool StartsWith(const char* s, const char* marker, std::size_t m) {
  for (std::size_t i = 0; i < m; ++i)
    if (s[i] != marker[i]) return false;
  return true;
}

// Byte searches in the display copy, tuned for the short distances of an
// ordinary field: the first 64 bytes are looked at 16 at a time inline, and
// a longer stretch is left to the C library, whose vector code is faster over
// long runs. Loads stay inside [0, readable): the text and its zero.
class Scanner {
 public:
  Scanner(const char* text, std::size_t readable) : s_(text), readable_(readable) {}

  // First i >= q with s[i] == c, or kNone when a zero byte comes first.
  std::size_t CharOrEnd(std::size_t q, char c) const {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(c);
    const __m128i zero = _mm_setzero_si128();
    for (int block = 0; block < 4; ++block, q += 16) {
      if (q + 16 > readable_) {
        for (;; ++q) {  // the last few bytes; the zero at the end stops it
          if (s_[q] == c) return q;
          if (s_[q] == '\0') return kNone;
        }
      }
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + q));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_or_si128(_mm_cmpeq_epi8(v, wanted), _mm_cmpeq_epi8(v, zero))));
      if (mask) {
        const std::size_t i = q + static_cast<std::size_t>(__builtin_ctz(mask));
        return s_[i] == c ? i : kNone;
      }
    }
#endif
    const char* hit = std::strchr(s_ + q, c);
    return hit ? static_cast<std::size_t>(hit - s_) : kNone;
  }

  // An ordinary field at p: id, ":", label, ":", value, "|", with no bar
  // and no zero byte before the second colon, and both colons within 64
  // bytes of p. Finds the two colons and the bar in one scan. For such a
  // field the first bar at or after p is its closing bar, so the general
  // rules read it exactly so. False for anything else (nothing is changed).
  bool OrdinaryField(std::size_t p, std::size_t& c1, std::size_t& c2, std::size_t& b) const {
#if defined(__SSE2__)
    const __m128i colon = _mm_set1_epi8(':');
    const __m128i bar = _mm_set1_epi8('|');
    const __m128i zero = _mm_setzero_si128();
    bool haveFirst = false;
    std::size_t q = p;
    for (int block = 0; block < 4; ++block, q += 16) {
      if (q + 16 > readable_) return false;
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + q));
      unsigned colons = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, colon)));
      const unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_or_si128(_mm_cmpeq_epi8(v, bar), _mm_cmpeq_epi8(v, zero))));
      for (; colons; colons &= colons - 1) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctz(colons));
        if (stops & ((1u << bit) - 1)) return false;  // a bar or zero before this colon
        if (!haveFirst) {
          c1 = q + bit;
          haveFirst = true;
          continue;
        }
        c2 = q + bit;
        const unsigned after = stops & ~((2u << bit) - 1);
        std::size_t end;
        if (after)
          end = q + static_cast<std::size_t>(__builtin_ctz(after));
        else
          end = CharOrEnd(q + 16, '|');
        if (end == kNone || s_[end] != '|') return false;  // no closing bar
        b = end;
        return true;
      }
      if (stops) return false;  // a bar or zero before the second colon
    }
#else
    (void)p;
    (void)c1;
    (void)c2;
    (void)b;
#endif
    return false;
  }

  // First i in [q, end) with s[i] == c, or kNone.
  std::size_t InRange(std::size_t q, std::size_t end, char c) const {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(c);
    for (int block = 0; block < 4; ++block, q += 16) {
      if (q >= end) return kNone;
      if (q + 16 > readable_) {
        for (; q < end; ++q)
          if (s_[q] == c) return q;
        return kNone;
      }
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + q));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)));
      if (end - q < 16) mask &= (1u << (end - q)) - 1;
      if (mask) return q + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    if (q >= end) return kNone;
    const void* hit = std::memchr(s_ + q, c, end - q);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - s_) : kNone;
  }

 private:
  const char* s_;
  std::size_t readable_;
};

// "First `c` at or after q" in the text, remembering what the last search
// found: no `c` lies in [from_, at_), and at_ is a `c` (kNone: there is none
// up to the end of the text). A query inside that stretch is answered without
// looking at the text; a query before it scans only up to the stretch; a
// query past it scans on from there. A caller whose queries never move
// backwards therefore looks at each byte at most once in all, and two such
// callers sharing one finder at most twice.
class NextChar {
 public:
  NextChar(const Scanner& scanner, char c) : scanner_(scanner), c_(c) {}

  std::size_t Find(std::size_t q) {
    if (known_) {
      if (q >= from_ && (at_ == kNone || q <= at_)) return at_;
      if (q < from_) {
        const std::size_t hit = scanner_.InRange(q, from_, c_);
        if (hit != kNone) return hit;
        from_ = q;
        return at_;
      }
    }
    known_ = true;
    from_ = q;
    at_ = scanner_.CharOrEnd(q, c_);
    return at_;
  }

 private:
  const Scanner& scanner_;
  char c_;
  bool known_ = false;
  std::size_t from_ = 0;
  std::size_t at_ = 0;
};

class Parser {
 public:
  Parser(const std::string& display, ParsedOrder& out)
      : text_(display.c_str()),
        length_(display.size()),
        scanner_(text_, length_ + 1),
        cap_(display.size() < kOrderValueCapMax ? display.size() : kOrderValueCapMax),
        out_(out) {}

  void Run() {
    std::size_t p = 0;
    bool firstField = true;
    if (StartsWith(text_, kMultiLinePrefix, kMultiLinePrefixLength)) {
      out_.mode = OrderMode::kMultiLine;
      p = kMultiLinePrefixLength;
      // The values rarely take more than the text itself; reserving that
      // much spares the copies of a growing text (untouched pages of a large
      // reservation cost nothing).
      out_.formatted.reserve(length_);
    }
    NextChar fieldColon(scanner_, ':');  // first ":" of a field, asked from p
    NextChar labelColon(scanner_, ':');  // ":" after the label, asked after c1
    NextChar bar(scanner_, '|');         // asked after c2 and from p
    std::size_t lastField = kNone;    // c1 of the field read last

    while (text_[p] != '\0') {
      if (text_[p] == '_') {
        if (StartsWith(text_ + p, kOrderMarker, kOrderMarkerLength)) {
          p += kOrderMarkerLength;
          OrderMarker();
          continue;
        }
        if (StartsWith(text_ + p, kIdentificationMarker, kIdentificationMarkerLength)) {
          p += kIdentificationMarkerLength;
          IdentificationMarker();
          continue;
        }
      }

      if (!firstField) {
        std::size_t c1 = 0, c2 = 0, b = 0;
        if (scanner_.OrdinaryField(p, c1, c2, b)) {
          // After a bar in an id, p may lie before the field read last.
          if (c1 != lastField && b > c2 + 1) Field(c1, c2, b);
          lastField = c1;
          p = b + 1;
          continue;
        }
      }

      const std::size_t c1 = fieldColon.Find(p);
      if (c1 == kNone) return;
      // The first field of the text is taken from its first colon on, so a
      // bar in its id does not end it.
      if (firstField) {
        firstField = false;
        p = c1;
      }
      // The field at c1 gives the same rows every time it is read; it is
      // read once.
      if (c1 != lastField) {
        lastField = c1;
        const std::size_t c2 = labelColon.Find(c1 + 1);
        if (c2 != kNone) {
          const std::size_t b = bar.Find(c2 + 1);
          if (b != kNone && b > c2 + 1) Field(c1, c2, b);
        }
      }

      // End of the field: after the next bar counted from p, or, with no bar
      // left in the text, after the next colon (which is c1).
      const std::size_t end = bar.Find(p);
      if (end == kNone) {
        BarFreeTail(c1 + 1);
        return;
      }
      p = end + 1;
    }
  }

 private:
  void OrderMarker() {
    ++out_.orderCount;
    if (out_.mode == OrderMode::kMultiLine) {
      out_.formatted.push_back('-');
    } else {
      Push(OrderRow::kOrderMarker, 0, 0, static_cast<std::uint32_t>(out_.orderCount), 0);
    }
  }

  void IdentificationMarker() {
    if (out_.mode == OrderMode::kMultiLine) {
      out_.formatted.push_back('-');
    } else {
      Push(OrderRow::kIdentification, 0, 0, 0, 0);
    }
  }

  // A field with colons c1 and c2 and closing bar b, its value not empty.
  void Field(std::size_t c1, std::size_t c2, std::size_t b) {
    std::size_t valueLength = b - (c2 + 1);
    if (valueLength >= cap_) valueLength = cap_ - 1;
    std::size_t labelLength = c2 - (c1 + 1);
    if (labelLength > kOrderLabelMax) labelLength = kOrderLabelMax;
    Value(c1 + 1, labelLength, c2 + 1, valueLength);
  }

  void Value(std::size_t label, std::size_t labelLength, std::size_t value,
             std::size_t valueLength) {
    if (out_.mode == OrderMode::kMultiLine) {
      out_.formatted.append(text_ + value, valueLength);
      return;
    }
    // One row per line; a "\r" right before a "\n" is not shown.
    const std::size_t end = value + valueLength;
    std::size_t start = value;
    OrderRow::Kind kind = OrderRow::kField;
    for (;;) {
      const std::size_t hit = scanner_.InRange(start, end, '\n');
      const std::size_t lineEnd = hit != kNone ? hit : end;
      std::size_t shown = lineEnd;
      if (hit != kNone && shown > start && text_[shown - 1] == '\r') --shown;
      Push(kind, start, shown - start, kind == OrderRow::kField ? label : 0,
           kind == OrderRow::kField ? labelLength : 0);
      if (hit == kNone) return;
      start = lineEnd + 1;
      kind = OrderRow::kContinuation;
    }
  }

  // No bar is left from `start` on. No field can have a value any more and
  // no order marker can occur (it holds a bar), so the rest of the text can
  // only add identification markers. They count where an item begins: at
  // `start`, right after one of the colons (every colon ends a field here),
  // or right after another identification marker.
  void BarFreeTail(std::size_t start) {
    std::size_t itemStart = start;
    std::size_t q = start;
    while (const char* hit = std::strchr(text_ + q, '_')) {
      const std::size_t x = static_cast<std::size_t>(hit - text_);
      if ((x == itemStart || text_[x - 1] == ':') &&
          StartsWith(hit, kIdentificationMarker, kIdentificationMarkerLength)) {
        IdentificationMarker();
        itemStart = q = x + kIdentificationMarkerLength;
      } else {
        q = x + 1;
      }
    }
  }

  void Push(OrderRow::Kind kind, std::size_t value, std::size_t valueLength,
            std::size_t parameter, std::size_t parameterLength) {
    OrderRow row;
    row.valueOffset = static_cast<std::uint32_t>(value);
    row.valueLength = static_cast<std::uint32_t>(valueLength);
    row.parameter = static_cast<std::uint32_t>(parameter);
    row.parameterLength = static_cast<std::uint8_t>(parameterLength);
    row.kind = kind;
    out_.rows.push_back(row);
  }

  const char* text_;
  std::size_t length_;
  Scanner scanner_;
  std::size_t cap_;
  ParsedOrder& out_;
};

}  // namespace

void ParsedOrder::Clear() {
  mode = OrderMode::kList;
  rows.clear();
  formatted.clear();
  orderCount = 0;
}

int ParseOrderText(const std::string& display, ParsedOrder& out) {
  out.Clear();
  if (display.empty() || display.size() > kOrderParseMax) return 0;
  try {
    Parser(display, out).Run();
  } catch (const std::bad_alloc&) {
    return 2;
  } catch (const std::length_error&) {
    return 2;
  }
  return 0;
}

std::string OrderRowParameter(const std::string& display, const OrderRow& row) {
  switch (row.kind) {
    case OrderRow::kField:
      if (row.parameter > display.size() || row.parameterLength > display.size() - row.parameter)
        return std::string();
      return display.substr(row.parameter, row.parameterLength);
    case OrderRow::kOrderMarker: {
      char text[32];
      std::snprintf(text, sizeof(text), "ZLECENIE %d", static_cast<int>(row.parameter));
      return text;
    }
    case OrderRow::kIdentification:
      return "Identyfikacja";
    case OrderRow::kContinuation:
      break;
  }
  return std::string();
}

std::string_view OrderRowValue(const std::string& display, const OrderRow& row) {
  if (row.valueOffset > display.size() || row.valueLength > display.size() - row.valueOffset)
    return std::string_view();
  return std::string_view(display.data() + row.valueOffset, row.valueLength);
}

// ---- COrderText ------------------------------------------------------------

int COrderText::SetHex(const char* hex) {
  return SetHex(hex, hex ? std::strlen(hex) : 0);
}

int COrderText::SetHex(const char* hex, std::size_t length) {
  Clear();
  SecureBytes decoded;
  const int code = HexDecode(hex, length, decoded);
  if (code != 0) return code;
  // Room for exactly n + 1 bytes: growing the decoder's buffer by one would
  // double its allocation (and the wipe when it goes would touch all of it).
  return SetBytes(decoded.data(), decoded.size());
}

int COrderText::SetBytes(const unsigned char* bytes, std::size_t n) {
  Clear();
  if (!bytes || n == 0) return 1;
  try {
    SecureBytes copy(n + 1);
    std::memcpy(copy.data(), bytes, n);
    copy[n] = 0;
    bytes_.swap(copy);
  } catch (const std::exception&) {
    return 2;
  }
  length_ = n;
  return 0;
}

void COrderText::Clear() {
  SecureBytes().swap(bytes_);
  length_ = 0;
  std::string().swap(display_);
  parsed_.Clear();
  std::string().swap(parsed_.formatted);
}

int COrderText::BuildDisplay() {
  display_.clear();
  parsed_.Clear();
  if (length_ == 0) return 1;
  display_ = IsoToWin1250(bytes_.data(), length_);
  if (display_.size() != length_) {  // the conversion ran out of memory
    display_.clear();
    return 2;
  }
  return ParseOrderText(display_, parsed_);
}

std::string_view COrderText::VisibleText() const {
  return std::string_view(display_.c_str());
}

std::string COrderText::Parameter(std::size_t row) const {
  if (row >= parsed_.rows.size()) return std::string();
  return OrderRowParameter(display_, parsed_.rows[row]);
}

std::string_view COrderText::Value(std::size_t row) const {
  if (row >= parsed_.rows.size()) return std::string_view();
  return OrderRowValue(display_, parsed_.rows[row]);
}

}  // namespace quenta
