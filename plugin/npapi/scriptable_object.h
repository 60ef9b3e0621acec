// The one scriptable object per plug-in instance that the page calls.
#pragma once

#include <memory>

#include "platform/npapi/npapi_types.h"
#include "plugin/method_dispatcher.h"
#include "plugin/method_table.h"

namespace quenta {

class CPluginInstance;

class ScriptablePluginObjectBase : public NPObject {
 public:
  explicit ScriptablePluginObjectBase(NPP npp) : npp_(npp) {}
  virtual ~ScriptablePluginObjectBase() = default;

  virtual void Invalidate() {}
  virtual bool HasMethod(NPIdentifier) { return false; }
  virtual bool Invoke(NPIdentifier, const NPVariant*, uint32_t, NPVariant*) { return false; }
  virtual bool InvokeDefault(const NPVariant*, uint32_t, NPVariant*) { return false; }
  virtual bool HasProperty(NPIdentifier) { return false; }
  virtual bool GetProperty(NPIdentifier, NPVariant*) { return false; }
  virtual bool SetProperty(NPIdentifier, const NPVariant*) { return false; }
  virtual bool RemoveProperty(NPIdentifier) { return false; }
  virtual bool Enumerate(NPIdentifier**, uint32_t*) { return false; }
  virtual bool Construct(const NPVariant*, uint32_t, NPVariant*) { return false; }

 protected:
  NPP npp_;
};

// The 23 method identifiers, obtained from the browser once per object.
class CMethodIds {
 public:
  CMethodIds();
  // The method whose identifier is `name`, compared by identity in the
  // dispatch order; false for any other name.
  bool Match(NPIdentifier name, MethodId* method) const;

 private:
  NPIdentifier ids_[kMethodCount];
};

class ScriptablePluginObject : public ScriptablePluginObjectBase {
 public:
  explicit ScriptablePluginObject(NPP npp);
  ~ScriptablePluginObject() override;

  static NPClass* Class();
  static ScriptablePluginObject* FromNPObject(NPObject* obj) {
    return static_cast<ScriptablePluginObject*>(static_cast<ScriptablePluginObjectBase*>(obj));
  }

  void SetOwner(CPluginInstance* owner) { owner_ = owner; }

  bool HasMethod(NPIdentifier name) override;
  bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
              NPVariant* result) override;
  bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
  bool HasProperty(NPIdentifier name) override;
  bool GetProperty(NPIdentifier name, NPVariant* result) override;

 private:
  CPluginInstance* owner_ = nullptr;
  CMethodIds ids_;
  std::unique_ptr<CMethodDispatcher> dispatcher_;
};

}  // namespace quenta
