// The record the module keeps for each embedded object.
#pragma once

#include <string>

#include "platform/npapi/npapi_types.h"
#include "plugin/call_js.h"

namespace quenta {

class ScriptablePluginObject;

class CPluginInstance : public IPageTarget {
 public:
  explicit CPluginInstance(NPP instance);
  ~CPluginInstance() override;
  CPluginInstance(const CPluginInstance&) = delete;
  CPluginInstance& operator=(const CPluginInstance&) = delete;

  // Takes the window over at the first call that carries a native handle.
  // Returns false when the take-over failed.
  bool TakeOverWindow(NPWindow* window);
  void ReleaseWindow();
  bool Initialised() const { return initialised_; }
  void* Window() const { return window_; }

  // The scriptable object, created on first request; one reference is the
  // record's, and every request adds one for the caller.
  NPObject* GetScriptableObject();

  NPP Instance() const { return instance_; }

  // Page callbacks go out as "javascript:" addresses opened in the page.
  void DeliverWKPEvent(const std::string& reserved, const std::string& keyName,
                       const std::string& label, int count) override;

 private:
  NPP instance_;
  void* window_ = nullptr;
  NPWindow* windowRecord_ = nullptr;
  bool initialised_ = false;
  NPObject* scriptable_ = nullptr;
};

}  // namespace quenta
