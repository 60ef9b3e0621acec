// Connects the token layer to its dialogs: the reader choice dialog when
// several devices are connected, and the key removal dialog.
#pragma once

#include <vector>

#include "engine/token_access.h"

namespace quenta {

// Installs both dialogs as the token layer's hooks (process-wide).
void InstallTokenDialogs();

// The hooks themselves.
int RunReaderChoiceDialog(CTokenAccess& token, int mode, std::vector<TokenDevice>& devices,
                          int* chosen);
int RunKeyRemovalDialog(std::vector<KeyRemovalRow>& rows);

}  // namespace quenta
