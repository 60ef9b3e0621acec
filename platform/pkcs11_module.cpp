#include "platform/pkcs11_module.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

namespace quenta {

namespace {

CK_FUNCTION_LIST_PTR g_table = nullptr;

// Per function table: how many holders of this process initialised it
// through InitializePkcs11 and have not finalised it yet.
std::map<CK_FUNCTION_LIST_PTR, int>& Owners() {
  static std::map<CK_FUNCTION_LIST_PTR, int> owners;
  return owners;
}

bool SafeOwner(const struct stat& st) { return st.st_uid == 0 || st.st_uid == ::geteuid(); }

}  // namespace

CK_FUNCTION_LIST_PTR Pkcs11FunctionTable() { return g_table; }

int CheckModuleFile(const std::string& path) {
  if (path.empty()) return -1;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  if (path[0] != '/') return 89;
  if (!S_ISREG(st.st_mode)) return 89;
  if (!SafeOwner(st) || (st.st_mode & (S_IWGRP | S_IWOTH))) return 89;

  // The directory that really holds the file (links resolved).
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return 89;
  std::string dir(real);
  std::free(real);
  std::size_t slash = dir.rfind('/');
  dir = slash == 0 ? std::string("/") : dir.substr(0, slash);
  struct stat ds;
  if (::stat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode)) return 89;
  if (!SafeOwner(ds)) return 89;
  // In a directory others may write to, only the sticky bit keeps them
  // from replacing the file.
  if ((ds.st_mode & (S_IWGRP | S_IWOTH)) && !(ds.st_mode & S_ISVTX)) return 89;
  return 0;
}

int LoadPkcs11Module(const std::string& path, void** handle, CK_FUNCTION_LIST_PTR* functions) {
  *handle = nullptr;
  *functions = nullptr;
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return 51;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(h, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (!getList || getList(&list) != CKR_OK || !list) {
    ::dlclose(h);
    return 51;
  }
  *handle = h;
  *functions = list;
  g_table = list;
  return 0;
}

void UnloadPkcs11Module(void* handle, CK_FUNCTION_LIST_PTR functions) {
  if (!handle) return;
  if (g_table == functions) g_table = nullptr;
  ::dlclose(handle);
}

CK_RV InitializePkcs11(CK_FUNCTION_LIST_PTR functions, bool* owned) {
  *owned = false;
  CK_RV rv = functions->C_Initialize(nullptr);
  auto& owners = Owners();
  if (rv == CKR_OK) {
    // We initialised it: any count left over belongs to a finalisation
    // that happened behind our back (it answered OK, so it was not live).
    owners[functions] = 1;
    *owned = true;
  } else if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    auto it = owners.find(functions);
    if (it != owners.end() && it->second > 0) {
      ++it->second;
      *owned = true;
    }
  }
  return rv;
}

void FinalizePkcs11(CK_FUNCTION_LIST_PTR functions) {
  auto& owners = Owners();
  auto it = owners.find(functions);
  if (it == owners.end() || it->second <= 0) return;
  if (--it->second == 0) {
    owners.erase(it);
    functions->C_Finalize(nullptr);
  }
}

}  // namespace quenta
