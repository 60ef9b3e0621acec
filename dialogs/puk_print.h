// The printed PUK sheet: one page with an explanation of the PUK, the PUK
// itself on a centred line, and the warning not to keep the codes with the
// device. The page is described here without any toolkit; the current user
// interface shows the print dialog and prints it.
#pragma once

#include "dialogs/ui.h"

namespace quenta {

constexpr int kTextPukSheetIntro = 797;
constexpr int kTextPukSheetCode = 525;  // "... %s" with the PUK
constexpr int kTextPukSheetWarning = 721;

// The page for this PUK, texts in the current language. The request holds
// the PUK: wipe it with WipePrintRequest when done.
PrintRequest PukSheet(const char* puk);
void WipePrintRequest(PrintRequest& request);

// Shows the print dialog and prints the sheet; a PrintOutcome.
int PrintPukSheet(const char* puk);

}  // namespace quenta
