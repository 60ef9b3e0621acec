#include "plugin/npapi/scriptable_object.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "plugin/npapi/browser.h"
#include "plugin/npapi/plugin_instance.h"

namespace quenta {

namespace {

ScriptablePluginObjectBase* Full(NPObject* obj) {
  return static_cast<ScriptablePluginObjectBase*>(obj);
}

NPObject* NP_CALLBACK Allocate(NPP npp, NPClass*) {
  ScriptablePluginObject* obj = new (std::nothrow) ScriptablePluginObject(npp);
  return obj;
}
void NP_CALLBACK Deallocate(NPObject* obj) { delete Full(obj); }
void NP_CALLBACK Invalidate(NPObject* obj) { Full(obj)->Invalidate(); }
bool NP_CALLBACK HasMethod(NPObject* obj, NPIdentifier name) { return Full(obj)->HasMethod(name); }
bool NP_CALLBACK Invoke(NPObject* obj, NPIdentifier name, const NPVariant* args, uint32_t n,
                        NPVariant* result) {
  return Full(obj)->Invoke(name, args, n, result);
}
bool NP_CALLBACK InvokeDefault(NPObject* obj, const NPVariant* args, uint32_t n,
                               NPVariant* result) {
  return Full(obj)->InvokeDefault(args, n, result);
}
bool NP_CALLBACK HasProperty(NPObject* obj, NPIdentifier name) {
  return Full(obj)->HasProperty(name);
}
bool NP_CALLBACK GetProperty(NPObject* obj, NPIdentifier name, NPVariant* result) {
  return Full(obj)->GetProperty(name, result);
}
bool NP_CALLBACK SetProperty(NPObject* obj, NPIdentifier name, const NPVariant* value) {
  return Full(obj)->SetProperty(name, value);
}
bool NP_CALLBACK RemoveProperty(NPObject* obj, NPIdentifier name) {
  return Full(obj)->RemoveProperty(name);
}
bool NP_CALLBACK Enumerate(NPObject* obj, NPIdentifier** ids, uint32_t* count) {
  return Full(obj)->Enumerate(ids, count);
}
bool NP_CALLBACK Construct(NPObject* obj, const NPVariant* args, uint32_t n, NPVariant* result) {
  return Full(obj)->Construct(args, n, result);
}

NPClass g_class = {
    NP_CLASS_STRUCT_VERSION, Allocate,    Deallocate,  Invalidate,     HasMethod,
    Invoke,                  InvokeDefault, HasProperty, GetProperty,  SetProperty,
    RemoveProperty,          Enumerate,   Construct,
};

ScriptValue FromVariant(const NPVariant& v) {
  switch (v.type) {
    case NPVariantType_Null: return ScriptValue::Null();
    case NPVariantType_Bool: return ScriptValue::Bool(v.value.boolValue);
    case NPVariantType_Int32: return ScriptValue::Int(v.value.intValue);
    case NPVariantType_Double: return ScriptValue::Double(v.value.doubleValue);
    case NPVariantType_String: {
      const NPString& s = v.value.stringValue;
      return ScriptValue::String(s.UTF8Characters && s.UTF8Length
                                     ? std::string(s.UTF8Characters, s.UTF8Length)
                                     : std::string());
    }
    case NPVariantType_Object: return ScriptValue::Object();
    default: return ScriptValue::Void();
  }
}

// Hands a text to the browser in a buffer of its own allocator.
bool SetStringResult(const std::string& text, NPVariant* result) {
  uint32_t n = static_cast<uint32_t>(text.size());
  char* buf = static_cast<char*>(NPN_MemAlloc(n ? n : 1));
  if (!buf) return false;
  if (n) std::memcpy(buf, text.data(), n);
  STRINGN_TO_NPVARIANT(buf, n, *result);
  return true;
}

// Wipes and drops the argument copies whatever happens.
struct WipedArgs {
  std::vector<ScriptValue> values;
  ~WipedArgs() {
    for (ScriptValue& v : values)
      if (!v.stringValue.empty()) SecureWipe(&v.stringValue[0], v.stringValue.size());
  }
};

}  // namespace

CMethodIds::CMethodIds() {
  for (int i = 0; i < kMethodCount; ++i)
    ids_[i] = NPN_GetStringIdentifier(GetMethodEntry(static_cast<MethodId>(i)).name);
}

bool CMethodIds::Match(NPIdentifier name, MethodId* method) const {
  if (!name) return false;
  for (MethodId m : kDispatchOrder) {
    if (ids_[static_cast<int>(m)] == name) {
      *method = m;
      return true;
    }
  }
  return false;
}

ScriptablePluginObject::ScriptablePluginObject(NPP npp)
    : ScriptablePluginObjectBase(npp), dispatcher_(new CMethodDispatcher()) {
  std::printf("ScriptablePluginObject\n");
  std::fflush(stdout);
}

ScriptablePluginObject::~ScriptablePluginObject() = default;

NPClass* ScriptablePluginObject::Class() { return &g_class; }

bool ScriptablePluginObject::HasMethod(NPIdentifier name) { return name != nullptr; }

bool ScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                    NPVariant* result) {
  try {
    dispatcher_->SetPageTarget(owner_);
    MethodId method;
    if (!ids_.Match(name, &method)) return false;
    if (argCount && !args) return false;

    WipedArgs converted;
    converted.values.reserve(argCount);
    for (uint32_t i = 0; i < argCount; ++i) converted.values.push_back(FromVariant(args[i]));

    ScriptResult r = dispatcher_->Call(method, converted.values);

    switch (r.kind) {
      case ScriptResult::kException:
        return false;
      case ScriptResult::kVoid:
        if (result) VOID_TO_NPVARIANT(*result);
        return true;
      case ScriptResult::kUntouched:
        return true;
      case ScriptResult::kText:
        return result && SetStringResult(r.text, result);
    }
    return false;
  } catch (...) {
    return false;
  }
}

bool ScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
  std::printf("ScriptablePluginObject default method called!\n");
  std::fflush(stdout);
  return result && SetStringResult("default method return val", result);
}

bool ScriptablePluginObject::HasProperty(NPIdentifier) { return false; }

bool ScriptablePluginObject::GetProperty(NPIdentifier, NPVariant* result) {
  if (result) VOID_TO_NPVARIANT(*result);
  return true;
}

}  // namespace quenta
