// A small browser for driving the plug-in module from tests and from the
// command line. It loads the module with dlopen, resolves the five exports a
// Linux browser looks for, hands the module a complete browser function table
// whose functions really work (memory, identifiers, objects, scripting calls)
// and records what the module asks of the page (GetURL, exceptions).
//
// The browser functions are plain C functions without a context argument, so
// only one BrowserHost may exist at a time; it registers itself as the
// current host while it lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/npapi/npapi_types.h"

namespace quenta_host {

// The value of a script expression as the page sees it. Strings hold bytes
// (the page's UTF-8, or whatever the module returned) and may contain zeros.
class Value {
 public:
  enum class Kind { Void, Null, Bool, Int32, Double, String, Object };

  Value() = default;  // undefined
  Value(std::nullptr_t) : kind_(Kind::Null) {}
  Value(bool b) : kind_(Kind::Bool), bool_(b) {}
  Value(int i) : kind_(Kind::Int32), int_(i) {}
  Value(double d) : kind_(Kind::Double), double_(d) {}
  Value(const char* s) : kind_(Kind::String), string_(s) {}
  Value(std::string s) : kind_(Kind::String), string_(std::move(s)) {}
  Value(NPObject* o) : kind_(Kind::Object), object_(o) {}
  // Any other pointer would silently become a boolean.
  template <typename T>
  Value(T*) = delete;

  static Value Void() { return Value(); }
  static Value Null() { return Value(nullptr); }

  Kind kind() const { return kind_; }
  bool is_void() const { return kind_ == Kind::Void; }
  bool is_string() const { return kind_ == Kind::String; }
  bool as_bool() const { return bool_; }
  int32_t as_int() const { return int_; }
  double as_double() const { return double_; }
  const std::string& as_string() const { return string_; }
  NPObject* as_object() const { return object_; }

  // A JavaScript-like rendering: undefined, null, true, 42, 2.5, "text"
  // (escaped), [object].
  std::string Describe() const;

  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  Kind kind_ = Kind::Void;
  bool bool_ = false;
  int32_t int_ = 0;
  double double_ = 0;
  std::string string_;
  NPObject* object_ = nullptr;
};

// So that test failures print readable values.
void PrintTo(const Value& value, std::ostream* os);

// The outcome of a scripting call: ok is what the object answered (false
// means the page sees a script exception). An object result carries one
// reference that the caller owns.
struct CallResult {
  bool ok = false;
  Value result;
};

// One NPN_GetURL or NPN_GetURLNotify request.
struct UrlRequest {
  NPP instance = nullptr;
  std::string url;
  std::string target;
  bool target_null = false;
  bool notify = false;
  void* notify_data = nullptr;
};

// One NPN_SetException call.
struct ScriptException {
  NPObject* object = nullptr;
  std::string message;
};

// What the host saw of the last string result it released.
struct StringResultInfo {
  bool seen = false;         // a string result has been released at all
  bool from_memalloc = false;  // its buffer was a live NPN_MemAlloc block
  size_t block_size = 0;     // the size asked of NPN_MemAlloc for that block
  size_t length = 0;         // the length the variant declared
};

class Instance;

class BrowserHost {
 public:
  using GetEntryPointsFn = NPError (*)(NPPluginFuncs*);
  using InitializeFn = NPError (*)(NPNetscapeFuncs*, NPPluginFuncs*);
  using ShutdownFn = NPError (*)();
  using GetMIMEDescriptionFn = const char* (*)();
  using GetValueFn = NPError (*)(void*, NPPVariable, void*);

  static constexpr const char* kMimeType = "application/quenta-sign-plugin";

  // Loads the module (RTLD_NOW | RTLD_LOCAL). Check loaded() afterwards.
  explicit BrowserHost(const std::string& module_path);
  // Destroys the instances still alive, calls NP_Shutdown if the module was
  // initialised and not yet shut down, then unloads the module.
  ~BrowserHost();
  BrowserHost(const BrowserHost&) = delete;
  BrowserHost& operator=(const BrowserHost&) = delete;

  static BrowserHost* current();

  bool loaded() const { return handle_ != nullptr; }
  const std::string& load_error() const { return load_error_; }
  // True when every one of the five exports was found.
  bool has_all_exports() const;

  // The browser's own function table, complete (size sizeof, version 0x0013).
  // Tests may change it before initialising the module.
  NPNetscapeFuncs& browser_funcs() { return browser_funcs_; }
  // The plug-in table Start() hands to NP_Initialize.
  NPPluginFuncs& plugin_funcs() { return plugin_funcs_; }
  // A fresh complete browser table, as the constructor builds it.
  static NPNetscapeFuncs MakeBrowserFuncs();

  // The exports, called as they are; a missing export yields
  // NPERR_INVALID_PLUGIN_ERROR (or null for the MIME description).
  NPError NP_GetEntryPoints(NPPluginFuncs* plugin_funcs);
  NPError NP_Initialize(NPNetscapeFuncs* browser_funcs, NPPluginFuncs* plugin_funcs);
  NPError NP_Shutdown();
  const char* NP_GetMIMEDescription();
  NPError NP_GetValue(void* future, NPPVariable variable, void* value);
  GetEntryPointsFn raw_get_entry_points() const { return get_entry_points_; }
  InitializeFn raw_initialize() const { return initialize_; }

  // What Firefox and Chromium do on Linux: a zeroed plug-in table with its
  // size set, then NP_Initialize with both tables.
  NPError Start();
  bool started() const { return started_; }

  // NPP_New for a new instance in embed mode with the plug-in's MIME type.
  // Null when the module is not started. The instance must not outlive the
  // host; instances still alive when the host goes are destroyed by it.
  std::unique_ptr<Instance> CreateInstance(
      std::vector<std::pair<std::string, std::string>> attributes = {
          {"type", kMimeType}, {"width", "1"}, {"height", "1"}, {"id", "signer"}});

  // Scripting on any object, as a page would do it. npp is passed to the
  // browser functions only. String results are copied out and their buffer
  // released with NPN_ReleaseVariantValue.
  CallResult Invoke(NPObject* object, const std::string& method,
                    const std::vector<Value>& args = {});
  CallResult InvokeDefault(NPObject* object, const std::vector<Value>& args = {});
  bool HasMethod(NPObject* object, const std::string& name);
  bool HasProperty(NPObject* object, const std::string& name);
  CallResult GetProperty(NPObject* object, const std::string& name);
  bool SetProperty(NPObject* object, const std::string& name, const Value& value);
  bool RemoveProperty(NPObject* object, const std::string& name);
  NPObject* Retain(NPObject* object);
  void Release(NPObject* object);

  // Identifiers are interned for the whole process, as in a browser.
  static NPIdentifier StringIdentifier(const std::string& name);
  static NPIdentifier IntIdentifier(int32_t value);

  // Records of what the module asked for.
  const std::vector<UrlRequest>& url_requests() const { return url_requests_; }
  void ClearUrlRequests() { url_requests_.clear(); }
  const std::vector<ScriptException>& exceptions() const { return exceptions_; }
  const std::vector<std::string>& status_messages() const { return status_messages_; }

  // NPN_MemAlloc bookkeeping.
  size_t live_blocks() const { return blocks_.size(); }
  size_t total_allocations() const { return total_allocations_; }
  // NPN_MemFree calls with a pointer that is not a live block; such
  // pointers are left alone.
  size_t foreign_frees() const { return foreign_frees_; }
  bool IsLiveBlock(const void* p) const { return blocks_.count(const_cast<void*>(p)) != 0; }
  // The next n calls of NPN_MemAlloc return null.
  void FailNextAllocations(size_t n) { fail_allocations_ = n; }
  const StringResultInfo& last_string_result() const { return last_string_result_; }

  // NPN_CreateObject bookkeeping.
  bool IsObjectAlive(NPObject* object) const { return objects_.count(object) != 0; }
  size_t live_objects() const { return objects_.size(); }
  size_t objects_created() const { return objects_created_; }
  // The next n calls of NPN_CreateObject return null without allocating.
  void FailNextObjectCreations(size_t n) { fail_objects_ = n; }
  // NPN_RetainObject/NPN_ReleaseObject on an object this host created and
  // already deallocated.
  size_t dead_object_uses() const { return dead_object_uses_; }

  // Runs the calls queued with NPN_PluginThreadAsyncCall.
  void RunPendingAsyncCalls();

 private:
  friend class Instance;
  friend struct BrowserCallbacks;

  void ReleaseResult(NPVariant* variant);
  void Forget(Instance* instance) { instances_.erase(instance); }

  void* handle_ = nullptr;
  std::string load_error_;
  GetEntryPointsFn get_entry_points_ = nullptr;
  InitializeFn initialize_ = nullptr;
  ShutdownFn shutdown_ = nullptr;
  GetMIMEDescriptionFn get_mime_description_ = nullptr;
  GetValueFn get_value_ = nullptr;

  NPNetscapeFuncs browser_funcs_{};
  NPPluginFuncs plugin_funcs_{};
  bool initialised_ = false;
  bool started_ = false;

  std::set<Instance*> instances_;
  std::vector<UrlRequest> url_requests_;
  std::vector<ScriptException> exceptions_;
  std::vector<std::string> status_messages_;
  std::vector<std::pair<void (*)(void*), void*>> async_calls_;

  std::map<void*, size_t> blocks_;
  size_t total_allocations_ = 0;
  size_t foreign_frees_ = 0;
  size_t fail_allocations_ = 0;
  StringResultInfo last_string_result_;

  std::set<NPObject*> objects_;
  std::set<NPObject*> dead_objects_;
  size_t objects_created_ = 0;
  size_t fail_objects_ = 0;
  size_t dead_object_uses_ = 0;
};

// One embedded plug-in object of a page.
class Instance {
 public:
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  NPP npp() { return &npp_; }
  NPError new_result() const { return new_result_; }
  bool destroyed() const { return destroyed_; }

  // NPP_SetWindow with a window record carrying the given native handle.
  NPError SetWindow(void* native_handle);
  // NPP_SetWindow with any record, null included.
  NPError SetWindowRecord(NPWindow* window);
  const NPWindow& window() const { return window_; }

  // NPP_GetValue for the scriptable object; the caller owns the reference
  // the module adds.
  struct ScriptableObject {
    NPError error = NPERR_GENERIC_ERROR;
    NPObject* object = nullptr;
  };
  ScriptableObject GetScriptableObject();
  NPError GetValue(NPPVariable variable, void* value);

  // Scripting on the instance's scriptable object. The object is obtained
  // once, on first use, and that reference is dropped when the instance is
  // destroyed, as a page's plug-in element lets go of it.
  CallResult Invoke(const std::string& method, const std::vector<Value>& args = {});
  CallResult InvokeDefault(const std::vector<Value>& args = {});
  bool HasMethod(const std::string& name);
  CallResult GetProperty(const std::string& name);
  bool SetProperty(const std::string& name, const Value& value);
  NPObject* script_object();

  // NPP_Destroy; then the instance's own object reference is released.
  NPError Destroy();

  // The GetURL requests made for this instance.
  std::vector<UrlRequest> url_requests() const;

 private:
  friend class BrowserHost;
  Instance(BrowserHost& host, std::vector<std::pair<std::string, std::string>> attributes);

  BrowserHost* host_;
  NPP_t npp_{};
  NPError new_result_ = NPERR_GENERIC_ERROR;
  bool destroyed_ = false;
  NPWindow window_{};
  unsigned char ws_info_[64]{};
  NPObject* script_object_ = nullptr;
  std::vector<std::string> names_;
  std::vector<std::string> values_;
};

}  // namespace quenta_host
