#include "dialogs/puk_print.h"

#include <string>

#include "engine/secure.h"
#include "plugin/texts.h"

namespace quenta {

namespace {

const char kDocumentName[] = "PUK";

void Wipe(std::string& s) {
  if (!s.empty()) SecureWipe(&s[0], s.size());
  s.clear();
}

// The table text with its first "%s" replaced by value; the text is never
// used as a format, so a stray conversion in a translation prints as it is.
std::string Insert(const std::string& text, const char* value) {
  std::string out = text;
  const std::size_t at = out.find("%s");
  if (at == std::string::npos) return out;
  out.replace(at, 2, value ? value : "");
  return out;
}

}  // namespace

PrintRequest PukSheet(const char* puk) {
  PrintRequest r;
  r.documentName = kDocumentName;
  r.fontFace = "Arial";
  r.pointSize = 12;
  r.marginDeviceUnits = 50;
  r.blocks.push_back(PrintBlock{LoadText(kTextPukSheetIntro), false});
  r.blocks.push_back(PrintBlock{Insert(LoadText(kTextPukSheetCode), puk), true});
  r.blocks.push_back(PrintBlock{LoadText(kTextPukSheetWarning), false});
  return r;
}

void WipePrintRequest(PrintRequest& request) {
  for (PrintBlock& b : request.blocks) Wipe(b.text);
  request.blocks.clear();
}

int PrintPukSheet(const char* puk) {
  PrintRequest r = PukSheet(puk);
  const int outcome = CurrentUi().PrintPage(r);
  WipePrintRequest(r);
  return outcome;
}

}  // namespace quenta
