// The key removal dialog: lists the key objects found on a card or USB
// token, one row per key (a private and a public object sharing an
// identifier make one "key pair" row), in ascending byte order of the
// identifier, and marks the objects of the rows the user picks.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>

#include "dialogs/dialog_logic.h"

namespace quenta {

class CRemoveDlg : public CDialogLogic {
 public:
  static constexpr int kResourceId = 423;
  static constexpr int kListId = 203;
  static constexpr std::size_t kMaxEntries = 20;

  // Text ids.
  static constexpr int kTextRemove = 628;
  static constexpr int kTextClose = 631;
  static constexpr int kTextCaption = 637;
  static constexpr int kTextNameHeading = 613;
  static constexpr int kTextDigestHeading = 616;
  static constexpr int kTextTypeHeading = 619;
  static constexpr int kTextPrivateKey = 622;
  static constexpr int kTextPublicKey = 625;
  static constexpr int kTextKeyPair = 658;
  static constexpr int kTextSelectKeys = 634;

  struct Entry {
    std::string label;
    std::string identifier;
    unsigned long handle = 0;  // the token's object handle
    unsigned char isPrivate = 0;
    unsigned char selected = 0;
  };

  // Entry indices of one identifier, -1 when absent.
  struct Pair {
    int privateIndex = -1;
    int publicIndex = -1;
  };

  // The parent is not used (callers give none).
  explicit CRemoveDlg(void* parent = nullptr);
  ~CRemoveDlg() override;

  // Adds one key object before DoModal. Copies both texts (null counts as
  // empty). false, and nothing stored, once kMaxEntries entries are held.
  bool AddKeyEntry(const char* label, const char* identifier, int isPrivate, unsigned long handle);

  std::size_t EntryCount() const { return count_; }
  // Entry i < EntryCount(); after IDOK its selected flag tells whether to delete it.
  const Entry& EntryAt(std::size_t i) const { return entries_[i]; }
  const std::map<std::string, Pair>& Pairs() const { return pairs_; }

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnOK() override;

 private:
  std::array<Entry, kMaxEntries> entries_;
  std::size_t count_ = 0;
  std::map<std::string, Pair> pairs_;  // std::string orders byte-wise (unsigned)
};

}  // namespace quenta
