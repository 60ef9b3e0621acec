// The dialogs' icons, drawn at run time (the keyboard, the sign mark and
// the expand and collapse arrows).
#pragma once

#include <wx/bitmap.h>

namespace quenta {

// A bitmap with transparency for an icon id of dialogs/dialog_logic.h; an
// empty box for an unknown id.
wxBitmap IconBitmap(int iconId, int size);

}  // namespace quenta
