#include "plugin/npapi/browser.h"

namespace quenta {

BrowserFunctions& Browser() {
  static BrowserFunctions functions;
  return functions;
}

NPError NPN_GetURL(NPP instance, const char* url, const char* window) {
  if (!Browser().geturl) return NPERR_GENERIC_ERROR;
  return Browser().geturl(instance, url, window);
}

void* NPN_MemAlloc(uint32_t size) {
  return Browser().memalloc ? Browser().memalloc(size) : nullptr;
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name) {
  return Browser().getstringidentifier ? Browser().getstringidentifier(name) : nullptr;
}

NPObject* NPN_CreateObject(NPP npp, NPClass* aClass) {
  return Browser().createobject ? Browser().createobject(npp, aClass) : nullptr;
}

NPObject* NPN_RetainObject(NPObject* obj) {
  return Browser().retainobject && obj ? Browser().retainobject(obj) : obj;
}

void NPN_ReleaseObject(NPObject* obj) {
  if (Browser().releaseobject && obj) Browser().releaseobject(obj);
}

}  // namespace quenta
