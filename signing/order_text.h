// The order text a page hands in for signing: the decoded order bytes (the
// data that is signed, byte for byte), their Windows-1250 display copy, and
// the parse of that copy into list rows or one multi-line text.
//
// Parsing is linear in the length of the text whatever the text holds, and
// rows refer to the display copy by offset instead of holding copies, so an
// order of many megabytes or tens of thousands of rows stays cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/secure.h"

namespace quenta {

enum class OrderMode { kList = 0, kMultiLine = 1 };

// Longest label shown; a longer label is cut to its first 127 characters.
constexpr std::size_t kOrderLabelMax = 127;
// Upper bound of the value cap: cap = min(n, 256000) for an order of n
// bytes, and a value of cap or more characters is cut to cap - 1.
constexpr std::size_t kOrderValueCapMax = 256000;
// Display copies longer than this are not parsed (they give no rows). A
// page cannot hand in such an order: the browser's strings are shorter.
constexpr std::size_t kOrderParseMax = 0xFFFFFFFFu;

// One row of the parameter list. The texts are not copied: offsets point into
// the display copy the row was parsed from (see OrderRowParameter/Value).
struct OrderRow {
  enum Kind : std::uint8_t {
    kField = 0,           // first line of a value; parameter is the label
    kContinuation = 1,    // a further line of a value; empty parameter
    kOrderMarker = 2,     // "ZLECENIE %d" with `parameter` as the number
    kIdentification = 3,  // "Identyfikacja"
  };
  std::uint32_t valueOffset;     // value line, without its line break
  std::uint32_t valueLength;
  std::uint32_t parameter;       // label offset (kField), order number (kOrderMarker)
  std::uint8_t parameterLength;  // label length (kField), else 0
  Kind kind;
};

// The rows, stored in blocks of fixed size: appending never moves the rows
// already stored, so a large order costs no reallocation copies.
class OrderRows {
 public:
  static constexpr std::size_t kBlockRows = 4096;

  class const_iterator {
   public:
    const_iterator(const OrderRows* rows, std::size_t i) : rows_(rows), i_(i) {}
    const OrderRow& operator*() const { return (*rows_)[i_]; }
    const OrderRow* operator->() const { return &(*rows_)[i_]; }
    const_iterator& operator++() { ++i_; return *this; }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }
    bool operator!=(const const_iterator& o) const { return i_ != o.i_; }

   private:
    const OrderRows* rows_;
    std::size_t i_;
  };

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const OrderRow& operator[](std::size_t i) const {
    return blocks_[i / kBlockRows][i % kBlockRows];
  }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size_); }

  // May throw std::bad_alloc (ParseOrderText turns that into its code 2).
  void push_back(const OrderRow& row) {
    if (size_ % kBlockRows == 0 && size_ / kBlockRows == blocks_.size()) {
      std::unique_ptr<OrderRow[]> block(new OrderRow[kBlockRows]);
      blocks_.push_back(std::move(block));
    }
    blocks_[size_ / kBlockRows][size_ % kBlockRows] = row;
    ++size_;
  }
  void clear() {
    blocks_.clear();
    size_ = 0;
  }

 private:
  std::vector<std::unique_ptr<OrderRow[]>> blocks_;
  std::size_t size_ = 0;
};

struct ParsedOrder {
  OrderMode mode = OrderMode::kList;
  OrderRows rows;              // list mode only
  std::string formatted;       // multi-line mode only: values and "-" per marker
  int orderCount = 0;          // order markers met

  void Clear();
};

// Parses the display copy (its size is the order length n; the text read
// ends at the first zero byte). Replaces everything in `out`. 0, or 2 when
// memory ran out (out then holds what was parsed up to that point). Text that
// does not follow the grammar simply gives fewer rows.
//
// A field is shown at most once. After a "|" inside a field's id (any field
// but the first), the end of that field is found at that bar, and reading
// resumes before the same field's first colon; read again, the field would
// add the same rows once more for every such bar, which a hostile text could
// turn into a quadratic number of rows. It adds nothing the second time.
int ParseOrderText(const std::string& display, ParsedOrder& out);

// The texts of a row parsed from `display`.
std::string OrderRowParameter(const std::string& display, const OrderRow& row);
std::string_view OrderRowValue(const std::string& display, const OrderRow& row);

// One order for the sign dialog: the bytes as decoded, kept unchanged, with
// one zero byte after them, and, once BuildDisplay has run, the display copy
// and its parse.
class COrderText {
 public:
  COrderText() = default;
  COrderText(const COrderText&) = delete;
  COrderText& operator=(const COrderText&) = delete;

  // Decodes the page's hexadecimal order text (HexDecode). 0; otherwise the
  // decoder's code (1 not valid hexadecimal, 2 no memory) and the object is
  // left empty.
  int SetHex(const char* hex);
  int SetHex(const char* hex, std::size_t length);
  // Takes a copy of already decoded order bytes. 0; 1 for no bytes (null or
  // n == 0; the object is left empty); 2 no memory.
  int SetBytes(const unsigned char* bytes, std::size_t n);
  void Clear();

  // The signed data: Length() bytes exactly as decoded, followed by one zero
  // byte that is not part of it. Null when empty.
  const unsigned char* Bytes() const { return bytes_.empty() ? nullptr : bytes_.data(); }
  std::size_t Length() const { return length_; }

  // Makes the display copy (IsoToWin1250 of the order bytes) and parses it.
  // 0, 1 when there is no order, 2 when memory ran out.
  int BuildDisplay();

  // The display copy: all n converted bytes. The text shown is the part
  // before the first zero byte (VisibleText).
  const std::string& DisplayCopy() const { return display_; }
  std::string_view VisibleText() const;

  const ParsedOrder& Parsed() const { return parsed_; }
  bool IsMultiLine() const { return parsed_.mode == OrderMode::kMultiLine; }
  std::size_t RowCount() const { return parsed_.rows.size(); }
  std::string Parameter(std::size_t row) const;
  std::string_view Value(std::size_t row) const;
  const std::string& FormattedText() const { return parsed_.formatted; }
  int OrderCount() const { return parsed_.orderCount; }

 private:
  SecureBytes bytes_;  // n order bytes and a zero
  std::size_t length_ = 0;
  std::string display_;
  ParsedOrder parsed_;
};

}  // namespace quenta
