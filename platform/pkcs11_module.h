// PKCS#11 module files loaded at run time and entered through
// C_GetFunctionList, and the process-wide function table.
//
// A Windows build checked the module file's version information. ELF
// files carry none; in its place a module file must be safe to load into
// the browser: CheckModuleFile refuses a file that an attacker other than
// the administrator or the user could have replaced (see there).
#pragma once

#if __has_include(<p11-kit/pkcs11.h>)
#include <p11-kit/pkcs11.h>
#else
#include <p11-kit-1/p11-kit/pkcs11.h>
#endif

#include <string>

namespace quenta {

// The function table of the module loaded last, shared by the whole
// process (null before the first load). Callers that hold a module keep
// their own copy of its table too, so that a later load elsewhere in the
// process never redirects their calls into another module.
CK_FUNCTION_LIST_PTR Pkcs11FunctionTable();

// Checks a module file before it is loaded:
//   -1  no file at that path (or the path is empty);
//   89  refused: the path is not absolute, the file is not a regular file
//       (after following links), or the file or the directory holding it
//       can be written by anyone other than its owner (group or world
//       writable; such a directory is accepted only with the sticky bit,
//       like /tmp), or the owner of either is neither root nor the current
//       user;
//    0  the file may be loaded.
int CheckModuleFile(const std::string& path);

// Loads the file and fills *functions through its C_GetFunctionList.
// 51 when the file cannot be loaded, lacks C_GetFunctionList, or that
// call fails or gives no table; then nothing stays loaded. On success
// *handle is the loaded module and the process-wide table is replaced.
int LoadPkcs11Module(const std::string& path, void** handle, CK_FUNCTION_LIST_PTR* functions);
// Unloads a module returned by LoadPkcs11Module. Clears the process-wide
// table when it belongs to this module.
void UnloadPkcs11Module(void* handle, CK_FUNCTION_LIST_PTR functions);

// C_Initialize(NULL) with bookkeeping per loaded module, so that C_Finalize
// is only called by the last of this process's users that initialised it:
// a second engine instance (or another page) getting
// CKR_CRYPTOKI_ALREADY_INITIALIZED from our own earlier call shares it, and
// a module some other part of the process initialised (the browser's own
// certificate store, say) is never finalised by us.
// Returns the module's answer; *owned tells whether FinalizePkcs11 is due.
CK_RV InitializePkcs11(CK_FUNCTION_LIST_PTR functions, bool* owned);
// Counterpart of an owned InitializePkcs11: C_Finalize(NULL) when this was
// the last owner.
void FinalizePkcs11(CK_FUNCTION_LIST_PTR functions);

}  // namespace quenta
