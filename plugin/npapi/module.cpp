// The module's exported entry points and the plug-in functions the browser
// calls through the table they fill.
#include <cstring>
#include <new>

#include "platform/npapi/npapi_types.h"
#include "platform/wx/module_ui.h"
#include "plugin/npapi/browser.h"
#include "plugin/npapi/plugin_instance.h"
#include "plugin/npapi/scriptable_object.h"

namespace quenta {
namespace {

const char kPluginName[] = "VUDevuvodIraz";
const char kPluginDescription[] = "NPRuntime scriptability API test plugin";
// For hosts that ask the module for its types instead of reading a version
// record: the same type and extension the version record declares.
const char kMimeDescription[] =
    "application/quenta-sign-plugin:sig:NPOrlisk version 1, 3, 0, 85";

CPluginInstance* Record(NPP instance) { return static_cast<CPluginInstance*>(instance->pdata); }

NPError NP_CALLBACK New(NPMIMEType, NPP instance, uint16_t, int16_t, char*[], char*[],
                        NPSavedData*) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  CPluginInstance* record = new (std::nothrow) CPluginInstance(instance);
  if (!record) return NPERR_OUT_OF_MEMORY_ERROR;
  instance->pdata = record;
  return NPERR_NO_ERROR;
}

NPError NP_CALLBACK Destroy(NPP instance, NPSavedData**) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  if (CPluginInstance* record = Record(instance)) {
    record->ReleaseWindow();
    delete record;
    instance->pdata = nullptr;
  }
  return NPERR_NO_ERROR;
}

NPError NP_CALLBACK SetWindow(NPP instance, NPWindow* window) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  if (!window) return NPERR_GENERIC_ERROR;
  CPluginInstance* record = Record(instance);
  if (!record) return NPERR_GENERIC_ERROR;
  if (!record->Initialised() && window->window) {
    if (!record->TakeOverWindow(window)) {
      delete record;
      instance->pdata = nullptr;
      return NPERR_MODULE_LOAD_FAILED_ERROR;
    }
  }
  return NPERR_NO_ERROR;
}

NPError NP_CALLBACK NewStream(NPP instance, NPMIMEType, NPStream*, NPBool, uint16_t*) {
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NP_CALLBACK DestroyStream(NPP instance, NPStream*, NPReason) {
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

void NP_CALLBACK StreamAsFile(NPP, NPStream*, const char*) {}

int32_t NP_CALLBACK WriteReady(NPP instance, NPStream*) {
  return instance ? 0x0FFFFFFF : NPERR_INVALID_INSTANCE_ERROR;
}

int32_t NP_CALLBACK Write(NPP instance, NPStream*, int32_t, int32_t len, void*) {
  return instance ? len : NPERR_INVALID_INSTANCE_ERROR;
}

void NP_CALLBACK Print(NPP, NPPrint*) {}

int16_t NP_CALLBACK HandleEvent(NPP, void*) { return 0; }

void NP_CALLBACK URLNotify(NPP, const char*, NPReason, void*) {}

// Answers the two text variables; false for every other.
bool TextValue(NPPVariable variable, void* value) {
  if (variable != NPPVpluginNameString && variable != NPPVpluginDescriptionString) return false;
  if (value)
    *static_cast<const char**>(value) =
        variable == NPPVpluginNameString ? kPluginName : kPluginDescription;
  return true;
}

NPError NP_CALLBACK GetValue(NPP instance, NPPVariable variable, void* value) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  CPluginInstance* record = Record(instance);
  if (!record) return NPERR_GENERIC_ERROR;
  if (TextValue(variable, value)) return NPERR_NO_ERROR;
  if (variable == NPPVpluginScriptableNPObject) {
    NPObject* obj = record->GetScriptableObject();
    if (value) *static_cast<NPObject**>(value) = obj;
    return NPERR_NO_ERROR;
  }
  return NPERR_GENERIC_ERROR;
}

NPError NP_CALLBACK SetValue(NPP instance, NPNVariable, void*) {
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError FillPluginFuncs(NPPluginFuncs* funcs) {
  if (!funcs || funcs->size < kMinPluginFuncsSize) return NPERR_INVALID_FUNCTABLE_ERROR;
  funcs->version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
  funcs->newp = New;
  funcs->destroy = Destroy;
  funcs->setwindow = SetWindow;
  funcs->newstream = NewStream;
  funcs->destroystream = DestroyStream;
  funcs->asfile = StreamAsFile;
  funcs->writeready = WriteReady;
  funcs->write = Write;
  funcs->print = Print;
  funcs->event = HandleEvent;
  funcs->urlnotify = URLNotify;
  funcs->javaClass = nullptr;
  funcs->getvalue = GetValue;
  funcs->setvalue = SetValue;
  return NPERR_NO_ERROR;
}

NPError CopyBrowserFuncs(const NPNetscapeFuncs* b) {
  if (!b) return NPERR_INVALID_FUNCTABLE_ERROR;
  if ((b->version >> 8) > NP_VERSION_MAJOR) return NPERR_INCOMPATIBLE_VERSION_ERROR;
  if (b->size < kMinBrowserFuncsSize) return NPERR_INVALID_FUNCTABLE_ERROR;
  BrowserFunctions& f = Browser();
  f.size = b->size;
  f.version = b->version;
  std::memcpy(f.copied, &b->geturl, sizeof f.copied);
  f.geturl = b->geturl;
  f.memalloc = b->memalloc;
  f.memfree = b->memfree;
  f.getstringidentifier = b->getstringidentifier;
  f.createobject = b->createobject;
  f.retainobject = b->retainobject;
  f.releaseobject = b->releaseobject;
  f.initialised = true;
  return NPERR_NO_ERROR;
}

}  // namespace
}  // namespace quenta

NP_EXPORT(NPError) NP_GetEntryPoints(NPPluginFuncs* pluginFuncs) {
  return quenta::FillPluginFuncs(pluginFuncs);
}

#if defined(_WIN32)
NP_EXPORT(NPError) NP_Initialize(NPNetscapeFuncs* browserFuncs) {
  NPError rc = quenta::CopyBrowserFuncs(browserFuncs);
  if (rc == NPERR_NO_ERROR) quenta::InstallModuleUi();
  return rc;
}
#else
// Unix hosts pass the plug-in table here as well and expect it filled.
NP_EXPORT(NPError) NP_Initialize(NPNetscapeFuncs* browserFuncs, NPPluginFuncs* pluginFuncs) {
  NPError rc = quenta::CopyBrowserFuncs(browserFuncs);
  if (rc != NPERR_NO_ERROR) return rc;
  quenta::InstallModuleUi();
  if (!pluginFuncs) return rc;
  return quenta::FillPluginFuncs(pluginFuncs);
}

NP_EXPORT(const char*) NP_GetMIMEDescription(void) { return quenta::kMimeDescription; }

NP_EXPORT(NPError) NP_GetValue(void*, NPPVariable variable, void* value) {
  return quenta::TextValue(variable, value) ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
}
#endif

NP_EXPORT(NPError) NP_Shutdown(void) {
  quenta::ShutdownModuleUi();
  return NPERR_NO_ERROR;
}
