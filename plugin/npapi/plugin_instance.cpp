#include "plugin/npapi/plugin_instance.h"

#include "plugin/npapi/browser.h"
#include "plugin/npapi/scriptable_object.h"

namespace quenta {

CPluginInstance::CPluginInstance(NPP instance) : instance_(instance) {}

CPluginInstance::~CPluginInstance() {
  ReleaseWindow();
  if (scriptable_) {
    // The object may outlive this record while the page holds references;
    // it must not call back into a record that is gone.
    ScriptablePluginObject::FromNPObject(scriptable_)->SetOwner(nullptr);
    NPN_ReleaseObject(scriptable_);
    scriptable_ = nullptr;
  }
}

bool CPluginInstance::TakeOverWindow(NPWindow* window) {
  if (!window || !window->window) return false;
  // Nothing is drawn and no events are handled: on this platform taking the
  // window over means remembering it.
  window_ = window->window;
  windowRecord_ = window;
  initialised_ = true;
  return true;
}

void CPluginInstance::ReleaseWindow() {
  if (!initialised_) return;
  window_ = nullptr;
  windowRecord_ = nullptr;
  initialised_ = false;
}

NPObject* CPluginInstance::GetScriptableObject() {
  if (!scriptable_) scriptable_ = NPN_CreateObject(instance_, ScriptablePluginObject::Class());
  if (scriptable_) {
    NPN_RetainObject(scriptable_);
    ScriptablePluginObject::FromNPObject(scriptable_)->SetOwner(this);
  }
  return scriptable_;
}

void CPluginInstance::DeliverWKPEvent(const std::string& reserved, const std::string& keyName,
                                      const std::string& label, int count) {
  std::string url = CCallJS::BuildWKPEventAddress(reserved, keyName, label, count);
  NPN_GetURL(instance_, url.c_str(), nullptr);  // the browser's answer does not matter
}

}  // namespace quenta
