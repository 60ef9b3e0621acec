// The module's copy of the browser's function table, and the calls the
// rest of the plug-in makes through it.
#pragma once

#include "platform/npapi/npapi_types.h"

namespace quenta {

// The browser functions from geturl through setexception, with the size and
// version the browser reported. Copied once, at initialisation.
struct BrowserFunctions {
  uint16_t size = 0;
  uint16_t version = 0;
  NPN_GetURLProcPtr geturl = nullptr;
  NPN_MemAllocProcPtr memalloc = nullptr;
  NPN_MemFreeProcPtr memfree = nullptr;
  NPN_GetStringIdentifierProcPtr getstringidentifier = nullptr;
  NPN_CreateObjectProcPtr createobject = nullptr;
  NPN_RetainObjectProcPtr retainobject = nullptr;
  NPN_ReleaseObjectProcPtr releaseobject = nullptr;
  // The whole copied run, for completeness.
  uint8_t copied[offsetof(NPNetscapeFuncs, pushpopupsenabledstate) -
                 offsetof(NPNetscapeFuncs, geturl)] = {};
  bool initialised = false;
};

BrowserFunctions& Browser();

NPError NPN_GetURL(NPP instance, const char* url, const char* window);
void* NPN_MemAlloc(uint32_t size);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
NPObject* NPN_CreateObject(NPP npp, NPClass* aClass);
NPObject* NPN_RetainObject(NPObject* obj);
void NPN_ReleaseObject(NPObject* obj);

}  // namespace quenta
