// Texts between the module (Windows-1250 bytes) and wxWidgets (Unicode).
// Converted only where wx draws or reads a control.
#pragma once

#include <string>
#include <string_view>

#include <wx/string.h>

#include "engine/secure.h"

namespace quenta {

wxString ToWx(std::string_view win1250);
// Characters without a Windows-1250 form become "?", as in an ANSI edit.
std::string FromWx(const wxString& text);
void FromWx(const wxString& text, SecureText& out);
// Overwrites a string's characters in place before it goes.
void WipeWxString(wxString& text);

}  // namespace quenta
