#include "tests/host/browser_host.h"

#include <dlfcn.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

namespace quenta_host {

namespace {

BrowserHost* g_current = nullptr;

// Identifiers live for the whole process: a module may keep them across
// hosts, as it may keep them across pages in a browser.
struct Identifier {
  bool is_string;
  std::string name;
  int32_t number;
};

std::map<std::string, std::unique_ptr<Identifier>>& StringIdentifiers() {
  static auto* ids = new std::map<std::string, std::unique_ptr<Identifier>>();
  return *ids;
}

std::map<int32_t, std::unique_ptr<Identifier>>& IntIdentifiers() {
  static auto* ids = new std::map<int32_t, std::unique_ptr<Identifier>>();
  return *ids;
}

// Bytes after a string argument's declared length. A module that reads
// past the length (expecting a terminating zero) sees these instead; they
// change from call to call, so such a module sees the same text differ.
constexpr size_t kGuardLength = 8;

char NextGuardByte() {
  static unsigned counter = 0;
  return static_cast<char>('G' + (counter++ % 20));
}

bool IsValidUtf8At(const std::string& s, size_t i, size_t* length) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
  else return false;
  if (i + n > s.size()) return false;
  for (size_t k = 1; k < n; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return false;
  *length = n;
  return true;
}

std::string QuoteString(const std::string& s) {
  std::string out = "\"";
  char buf[8];
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    if (c == '"') { out += "\\\""; ++i; }
    else if (c == '\\') { out += "\\\\"; ++i; }
    else if (c == '\n') { out += "\\n"; ++i; }
    else if (c == '\r') { out += "\\r"; ++i; }
    else if (c == '\t') { out += "\\t"; ++i; }
    else if (c >= 0x20 && c < 0x7F) { out += static_cast<char>(c); ++i; }
    else if (c >= 0x80 && IsValidUtf8At(s, i, &n)) { out.append(s, i, n); i += n; }
    else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
      ++i;
    }
  }
  out += "\"";
  return out;
}

std::string DescribeDouble(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

}  // namespace

// ---- Value ------------------------------------------------------------------

std::string Value::Describe() const {
  switch (kind_) {
    case Kind::Void: return "undefined";
    case Kind::Null: return "null";
    case Kind::Bool: return bool_ ? "true" : "false";
    case Kind::Int32: return std::to_string(int_);
    case Kind::Double: return DescribeDouble(double_);
    case Kind::String: return QuoteString(string_);
    case Kind::Object: return "[object]";
  }
  return "?";
}

bool Value::operator==(const Value& other) const {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case Kind::Void:
    case Kind::Null: return true;
    case Kind::Bool: return bool_ == other.bool_;
    case Kind::Int32: return int_ == other.int_;
    case Kind::Double: return double_ == other.double_;
    case Kind::String: return string_ == other.string_;
    case Kind::Object: return object_ == other.object_;
  }
  return false;
}

void PrintTo(const Value& value, std::ostream* os) { *os << value.Describe(); }

// ---- browser functions --------------------------------------------------------

struct BrowserCallbacks {
  static NPError GetURL(NPP instance, const char* url, const char* target) {
    return Record(instance, url, target, false, nullptr);
  }
  static NPError GetURLNotify(NPP instance, const char* url, const char* target, void* data) {
    return Record(instance, url, target, true, data);
  }
  static NPError Record(NPP instance, const char* url, const char* target, bool notify,
                        void* data) {
    if (!url) return NPERR_INVALID_URL;
    if (g_current) {
      UrlRequest r;
      r.instance = instance;
      r.url = url;
      r.target_null = target == nullptr;
      if (target) r.target = target;
      r.notify = notify;
      r.notify_data = data;
      g_current->url_requests_.push_back(std::move(r));
    }
    return NPERR_NO_ERROR;
  }
  static NPError PostURL(NPP, const char*, const char*, uint32_t, const char*, NPBool) {
    return NPERR_GENERIC_ERROR;
  }
  static NPError PostURLNotify(NPP, const char*, const char*, uint32_t, const char*, NPBool,
                               void*) {
    return NPERR_GENERIC_ERROR;
  }
  static NPError RequestRead(NPStream*, NPByteRange*) { return NPERR_GENERIC_ERROR; }
  static NPError NewStream(NPP, NPMIMEType, const char*, NPStream**) {
    return NPERR_GENERIC_ERROR;
  }
  static int32_t Write(NPP, NPStream*, int32_t, void*) { return -1; }
  static NPError DestroyStream(NPP, NPStream*, NPReason) { return NPERR_GENERIC_ERROR; }
  static void Status(NPP, const char* message) {
    if (g_current) g_current->status_messages_.push_back(message ? message : "");
  }
  static const char* UserAgent(NPP) {
    return "Mozilla/5.0 (X11; Linux x86_64; rv:52.0) Gecko/20100101 npapi-host/1.0";
  }

  static void* MemAlloc(uint32_t size) {
    BrowserHost* h = g_current;
    if (h && h->fail_allocations_ > 0) {
      --h->fail_allocations_;
      return nullptr;
    }
    void* p = std::malloc(size ? size : 1);
    if (p && h) {
      h->blocks_[p] = size;
      ++h->total_allocations_;
    }
    return p;
  }
  static void MemFree(void* p) {
    if (!p) return;
    BrowserHost* h = g_current;
    if (!h) {
      std::free(p);
      return;
    }
    auto it = h->blocks_.find(p);
    if (it == h->blocks_.end()) {
      ++h->foreign_frees_;
      return;
    }
    h->blocks_.erase(it);
    std::free(p);
  }
  static uint32_t MemFlush(uint32_t) { return 0; }
  static void ReloadPlugins(NPBool) {}
  static void* GetJavaEnv() { return nullptr; }
  static void* GetJavaPeer(NPP) { return nullptr; }

  static NPError GetValue(NPP, NPNVariable variable, void* value) {
    if (!value) return NPERR_INVALID_PARAM;
    switch (variable) {
      case NPNVToolkit: *static_cast<int32_t*>(value) = 2; return NPERR_NO_ERROR;  // GTK 2
      case NPNVSupportsXEmbedBool:
      case NPNVjavascriptEnabledBool: *static_cast<NPBool*>(value) = 1; return NPERR_NO_ERROR;
      case NPNVisOfflineBool:
      case NPNVasdEnabledBool: *static_cast<NPBool*>(value) = 0; return NPERR_NO_ERROR;
      default: return NPERR_GENERIC_ERROR;
    }
  }
  static NPError SetValue(NPP, NPPVariable, void*) { return NPERR_NO_ERROR; }
  static void InvalidateRect(NPP, NPRect*) {}
  static void InvalidateRegion(NPP, NPRegion) {}
  static void ForceRedraw(NPP) {}

  static NPIdentifier GetStringIdentifier(const NPUTF8* name) {
    if (!name) return nullptr;
    return BrowserHost::StringIdentifier(name);
  }
  static void GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids) {
    if (!names || !ids) return;
    for (int32_t i = 0; i < count; ++i) ids[i] = GetStringIdentifier(names[i]);
  }
  static NPIdentifier GetIntIdentifier(int32_t value) { return BrowserHost::IntIdentifier(value); }
  static bool IdentifierIsString(NPIdentifier id) {
    return id && static_cast<Identifier*>(id)->is_string;
  }
  static NPUTF8* UTF8FromIdentifier(NPIdentifier id) {
    if (!id || !static_cast<Identifier*>(id)->is_string) return nullptr;
    const std::string& name = static_cast<Identifier*>(id)->name;
    auto* p = static_cast<NPUTF8*>(MemAlloc(static_cast<uint32_t>(name.size() + 1)));
    if (p) std::memcpy(p, name.c_str(), name.size() + 1);
    return p;
  }
  static int32_t IntFromIdentifier(NPIdentifier id) {
    if (!id || static_cast<Identifier*>(id)->is_string) return INT32_MIN;
    return static_cast<Identifier*>(id)->number;
  }

  static NPObject* CreateObject(NPP npp, NPClass* cls) {
    if (!cls) return nullptr;
    if (BrowserHost* h = g_current; h && h->fail_objects_ > 0) {
      --h->fail_objects_;
      return nullptr;
    }
    NPObject* obj = cls->allocate ? cls->allocate(npp, cls)
                                  : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    if (!obj) return nullptr;
    obj->_class = cls;
    obj->referenceCount = 1;
    if (BrowserHost* h = g_current) {
      h->objects_.insert(obj);
      h->dead_objects_.erase(obj);
      ++h->objects_created_;
    }
    return obj;
  }
  static bool IsDead(NPObject* obj) {
    BrowserHost* h = g_current;
    if (h && !h->objects_.count(obj) && h->dead_objects_.count(obj)) {
      ++h->dead_object_uses_;
      return true;
    }
    return false;
  }
  static NPObject* RetainObject(NPObject* obj) {
    if (!obj || IsDead(obj)) return obj;
    ++obj->referenceCount;
    return obj;
  }
  static void ReleaseObject(NPObject* obj) {
    if (!obj || IsDead(obj)) return;
    if (obj->referenceCount == 0) return;
    if (--obj->referenceCount != 0) return;
    if (BrowserHost* h = g_current) {
      h->objects_.erase(obj);
      h->dead_objects_.insert(obj);
    }
    if (obj->_class && obj->_class->deallocate) obj->_class->deallocate(obj);
    else std::free(obj);
  }

  static bool Invoke(NPP, NPObject* obj, NPIdentifier name, const NPVariant* args,
                     uint32_t count, NPVariant* result) {
    if (!obj || !obj->_class || !obj->_class->invoke) return false;
    return obj->_class->invoke(obj, name, args, count, result);
  }
  static bool InvokeDefault(NPP, NPObject* obj, const NPVariant* args, uint32_t count,
                            NPVariant* result) {
    if (!obj || !obj->_class || !obj->_class->invokeDefault) return false;
    return obj->_class->invokeDefault(obj, args, count, result);
  }
  static bool Evaluate(NPP, NPObject*, NPString*, NPVariant*) { return false; }
  static bool GetProperty(NPP, NPObject* obj, NPIdentifier name, NPVariant* result) {
    if (!obj || !obj->_class || !obj->_class->getProperty) return false;
    return obj->_class->getProperty(obj, name, result);
  }
  static bool SetProperty(NPP, NPObject* obj, NPIdentifier name, const NPVariant* value) {
    if (!obj || !obj->_class || !obj->_class->setProperty) return false;
    return obj->_class->setProperty(obj, name, value);
  }
  static bool RemoveProperty(NPP, NPObject* obj, NPIdentifier name) {
    if (!obj || !obj->_class || !obj->_class->removeProperty) return false;
    return obj->_class->removeProperty(obj, name);
  }
  static bool HasProperty(NPP, NPObject* obj, NPIdentifier name) {
    if (!obj || !obj->_class || !obj->_class->hasProperty) return false;
    return obj->_class->hasProperty(obj, name);
  }
  static bool HasMethod(NPP, NPObject* obj, NPIdentifier name) {
    if (!obj || !obj->_class || !obj->_class->hasMethod) return false;
    return obj->_class->hasMethod(obj, name);
  }
  static bool Enumerate(NPP, NPObject* obj, NPIdentifier** ids, uint32_t* count) {
    if (!obj || !obj->_class || obj->_class->structVersion < 2 || !obj->_class->enumerate)
      return false;
    return obj->_class->enumerate(obj, ids, count);
  }
  static bool Construct(NPP, NPObject* obj, const NPVariant* args, uint32_t count,
                        NPVariant* result) {
    if (!obj || !obj->_class || obj->_class->structVersion < 3 || !obj->_class->construct)
      return false;
    return obj->_class->construct(obj, args, count, result);
  }
  static void ReleaseVariantValue(NPVariant* v) {
    if (!v) return;
    if (v->type == NPVariantType_String) MemFree(const_cast<NPUTF8*>(v->value.stringValue.UTF8Characters));
    else if (v->type == NPVariantType_Object) ReleaseObject(v->value.objectValue);
    VOID_TO_NPVARIANT(*v);
  }
  static void SetException(NPObject* obj, const NPUTF8* message) {
    if (g_current) g_current->exceptions_.push_back({obj, message ? message : ""});
  }
  static void PushPopupsEnabledState(NPP, NPBool) {}
  static void PopPopupsEnabledState(NPP) {}
  static void PluginThreadAsyncCall(NPP, void (*func)(void*), void* data) {
    if (g_current && func) g_current->async_calls_.emplace_back(func, data);
  }
};

NPNetscapeFuncs BrowserHost::MakeBrowserFuncs() {
  using B = BrowserCallbacks;
  NPNetscapeFuncs f{};
  f.size = sizeof(NPNetscapeFuncs);
  f.version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
  f.geturl = B::GetURL;
  f.posturl = B::PostURL;
  f.requestread = B::RequestRead;
  f.newstream = B::NewStream;
  f.write = B::Write;
  f.destroystream = B::DestroyStream;
  f.status = B::Status;
  f.uagent = B::UserAgent;
  f.memalloc = B::MemAlloc;
  f.memfree = B::MemFree;
  f.memflush = B::MemFlush;
  f.reloadplugins = B::ReloadPlugins;
  f.getJavaEnv = B::GetJavaEnv;
  f.getJavaPeer = B::GetJavaPeer;
  f.geturlnotify = B::GetURLNotify;
  f.posturlnotify = B::PostURLNotify;
  f.getvalue = B::GetValue;
  f.setvalue = B::SetValue;
  f.invalidaterect = B::InvalidateRect;
  f.invalidateregion = B::InvalidateRegion;
  f.forceredraw = B::ForceRedraw;
  f.getstringidentifier = B::GetStringIdentifier;
  f.getstringidentifiers = B::GetStringIdentifiers;
  f.getintidentifier = B::GetIntIdentifier;
  f.identifierisstring = B::IdentifierIsString;
  f.utf8fromidentifier = B::UTF8FromIdentifier;
  f.intfromidentifier = B::IntFromIdentifier;
  f.createobject = B::CreateObject;
  f.retainobject = B::RetainObject;
  f.releaseobject = B::ReleaseObject;
  f.invoke = B::Invoke;
  f.invokeDefault = B::InvokeDefault;
  f.evaluate = B::Evaluate;
  f.getproperty = B::GetProperty;
  f.setproperty = B::SetProperty;
  f.removeproperty = B::RemoveProperty;
  f.hasproperty = B::HasProperty;
  f.hasmethod = B::HasMethod;
  f.releasevariantvalue = B::ReleaseVariantValue;
  f.setexception = B::SetException;
  f.pushpopupsenabledstate = B::PushPopupsEnabledState;
  f.poppopupsenabledstate = B::PopPopupsEnabledState;
  f.enumerate = B::Enumerate;
  f.pluginthreadasynccall = B::PluginThreadAsyncCall;
  f.construct = B::Construct;
  return f;
}

NPIdentifier BrowserHost::StringIdentifier(const std::string& name) {
  auto& ids = StringIdentifiers();
  auto it = ids.find(name);
  if (it == ids.end())
    it = ids.emplace(name, std::make_unique<Identifier>(Identifier{true, name, 0})).first;
  return it->second.get();
}

NPIdentifier BrowserHost::IntIdentifier(int32_t value) {
  auto& ids = IntIdentifiers();
  auto it = ids.find(value);
  if (it == ids.end())
    it = ids.emplace(value, std::make_unique<Identifier>(Identifier{false, "", value})).first;
  return it->second.get();
}

// ---- argument and result conversion -------------------------------------------

namespace {

class Arguments {
 public:
  explicit Arguments(const std::vector<Value>& values) : guard_(NextGuardByte()) {
    variants_.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) Convert(values[i], variants_[i]);
  }
  const NPVariant* data() const { return variants_.empty() ? nullptr : variants_.data(); }
  uint32_t count() const { return static_cast<uint32_t>(variants_.size()); }

 private:
  void Convert(const Value& v, NPVariant& out) {
    switch (v.kind()) {
      case Value::Kind::Void: VOID_TO_NPVARIANT(out); break;
      case Value::Kind::Null: NULL_TO_NPVARIANT(out); break;
      case Value::Kind::Bool: BOOLEAN_TO_NPVARIANT(v.as_bool(), out); break;
      case Value::Kind::Int32: INT32_TO_NPVARIANT(v.as_int(), out); break;
      case Value::Kind::Double: DOUBLE_TO_NPVARIANT(v.as_double(), out); break;
      case Value::Kind::Object: OBJECT_TO_NPVARIANT(v.as_object(), out); break;
      case Value::Kind::String: {
        const std::string& s = v.as_string();
        // Browser strings are not zero-terminated: the length is all there is.
        auto buf = std::make_unique<char[]>(s.size() + kGuardLength + 1);
        std::memcpy(buf.get(), s.data(), s.size());
        std::memset(buf.get() + s.size(), guard_, kGuardLength);
        buf[s.size() + kGuardLength] = '\0';
        STRINGN_TO_NPVARIANT(buf.get(), static_cast<uint32_t>(s.size()), out);
        buffers_.push_back(std::move(buf));
        break;
      }
    }
  }

  char guard_;
  std::vector<NPVariant> variants_;
  std::vector<std::unique_ptr<char[]>> buffers_;
};

}  // namespace

void BrowserHost::ReleaseResult(NPVariant* variant) {
  if (variant->type == NPVariantType_String) {
    void* p = const_cast<NPUTF8*>(variant->value.stringValue.UTF8Characters);
    last_string_result_.seen = true;
    last_string_result_.length = variant->value.stringValue.UTF8Length;
    auto it = blocks_.find(p);
    last_string_result_.from_memalloc = it != blocks_.end();
    last_string_result_.block_size = it != blocks_.end() ? it->second : 0;
  }
  if (variant->type == NPVariantType_Object) {
    // The reference travels with the value to the caller.
    VOID_TO_NPVARIANT(*variant);
    return;
  }
  BrowserCallbacks::ReleaseVariantValue(variant);
}

static Value FromVariant(const NPVariant& v) {
  switch (v.type) {
    case NPVariantType_Void: return Value();
    case NPVariantType_Null: return Value(nullptr);
    case NPVariantType_Bool: return Value(v.value.boolValue);
    case NPVariantType_Int32: return Value(static_cast<int>(v.value.intValue));
    case NPVariantType_Double: return Value(v.value.doubleValue);
    case NPVariantType_String: {
      const NPString& s = v.value.stringValue;
      return Value(s.UTF8Characters ? std::string(s.UTF8Characters, s.UTF8Length) : std::string());
    }
    case NPVariantType_Object: return Value(v.value.objectValue);
  }
  return Value();
}

CallResult BrowserHost::Invoke(NPObject* object, const std::string& method,
                               const std::vector<Value>& args) {
  Arguments a(args);
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  CallResult r;
  r.ok = BrowserCallbacks::Invoke(nullptr, object, StringIdentifier(method), a.data(), a.count(),
                                  &result);
  if (r.ok) r.result = FromVariant(result);
  ReleaseResult(&result);
  return r;
}

CallResult BrowserHost::InvokeDefault(NPObject* object, const std::vector<Value>& args) {
  Arguments a(args);
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  CallResult r;
  r.ok = BrowserCallbacks::InvokeDefault(nullptr, object, a.data(), a.count(), &result);
  if (r.ok) r.result = FromVariant(result);
  ReleaseResult(&result);
  return r;
}

bool BrowserHost::HasMethod(NPObject* object, const std::string& name) {
  return BrowserCallbacks::HasMethod(nullptr, object, StringIdentifier(name));
}

bool BrowserHost::HasProperty(NPObject* object, const std::string& name) {
  return BrowserCallbacks::HasProperty(nullptr, object, StringIdentifier(name));
}

CallResult BrowserHost::GetProperty(NPObject* object, const std::string& name) {
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  CallResult r;
  r.ok = BrowserCallbacks::GetProperty(nullptr, object, StringIdentifier(name), &result);
  if (r.ok) r.result = FromVariant(result);
  ReleaseResult(&result);
  return r;
}

bool BrowserHost::SetProperty(NPObject* object, const std::string& name, const Value& value) {
  Arguments a({value});
  return BrowserCallbacks::SetProperty(nullptr, object, StringIdentifier(name), a.data());
}

bool BrowserHost::RemoveProperty(NPObject* object, const std::string& name) {
  return BrowserCallbacks::RemoveProperty(nullptr, object, StringIdentifier(name));
}

NPObject* BrowserHost::Retain(NPObject* object) { return BrowserCallbacks::RetainObject(object); }
void BrowserHost::Release(NPObject* object) { BrowserCallbacks::ReleaseObject(object); }

void BrowserHost::RunPendingAsyncCalls() {
  auto calls = std::move(async_calls_);
  async_calls_.clear();
  for (auto& c : calls) c.first(c.second);
}

// ---- loading and the exports ----------------------------------------------------

BrowserHost* BrowserHost::current() { return g_current; }

BrowserHost::BrowserHost(const std::string& module_path) : browser_funcs_(MakeBrowserFuncs()) {
  if (g_current) {
    load_error_ = "another browser host is active";
    return;
  }
  g_current = this;
  handle_ = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* e = dlerror();
    load_error_ = e ? e : "dlopen failed";
    return;
  }
  get_entry_points_ = reinterpret_cast<GetEntryPointsFn>(dlsym(handle_, "NP_GetEntryPoints"));
  initialize_ = reinterpret_cast<InitializeFn>(dlsym(handle_, "NP_Initialize"));
  shutdown_ = reinterpret_cast<ShutdownFn>(dlsym(handle_, "NP_Shutdown"));
  get_mime_description_ =
      reinterpret_cast<GetMIMEDescriptionFn>(dlsym(handle_, "NP_GetMIMEDescription"));
  get_value_ = reinterpret_cast<GetValueFn>(dlsym(handle_, "NP_GetValue"));
}

BrowserHost::~BrowserHost() {
  for (Instance* instance : std::set<Instance*>(instances_)) {
    instance->Destroy();
    instance->host_ = nullptr;
  }
  if (handle_) {
    if (initialised_) NP_Shutdown();
    dlclose(handle_);
  }
  if (g_current == this) g_current = nullptr;
}

bool BrowserHost::has_all_exports() const {
  return get_entry_points_ && initialize_ && shutdown_ && get_mime_description_ && get_value_;
}

NPError BrowserHost::NP_GetEntryPoints(NPPluginFuncs* plugin_funcs) {
  if (!get_entry_points_) return NPERR_INVALID_PLUGIN_ERROR;
  return get_entry_points_(plugin_funcs);
}

NPError BrowserHost::NP_Initialize(NPNetscapeFuncs* browser_funcs, NPPluginFuncs* plugin_funcs) {
  if (!initialize_) return NPERR_INVALID_PLUGIN_ERROR;
  NPError e = initialize_(browser_funcs, plugin_funcs);
  if (e == NPERR_NO_ERROR) initialised_ = true;
  return e;
}

NPError BrowserHost::NP_Shutdown() {
  if (!shutdown_) return NPERR_INVALID_PLUGIN_ERROR;
  initialised_ = false;
  started_ = false;
  return shutdown_();
}

const char* BrowserHost::NP_GetMIMEDescription() {
  return get_mime_description_ ? get_mime_description_() : nullptr;
}

NPError BrowserHost::NP_GetValue(void* future, NPPVariable variable, void* value) {
  if (!get_value_) return NPERR_INVALID_PLUGIN_ERROR;
  return get_value_(future, variable, value);
}

NPError BrowserHost::Start() {
  plugin_funcs_ = NPPluginFuncs{};
  plugin_funcs_.size = sizeof(NPPluginFuncs);
  NPError e = NP_Initialize(&browser_funcs_, &plugin_funcs_);
  started_ = e == NPERR_NO_ERROR;
  return e;
}

std::unique_ptr<Instance> BrowserHost::CreateInstance(
    std::vector<std::pair<std::string, std::string>> attributes) {
  if (!started_) return nullptr;
  std::unique_ptr<Instance> instance(new Instance(*this, std::move(attributes)));
  return instance;
}

// ---- instances ---------------------------------------------------------------------

Instance::Instance(BrowserHost& host, std::vector<std::pair<std::string, std::string>> attributes)
    : host_(&host) {
  for (auto& a : attributes) {
    names_.push_back(a.first);
    values_.push_back(a.second);
  }
  std::vector<char*> argn, argv;
  for (size_t i = 0; i < names_.size(); ++i) {
    argn.push_back(names_[i].data());
    argv.push_back(values_[i].data());
  }
  std::string mime = BrowserHost::kMimeType;
  if (!host.plugin_funcs_.newp) {
    new_result_ = NPERR_INVALID_PLUGIN_ERROR;
  } else {
    new_result_ = host.plugin_funcs_.newp(mime.data(), &npp_, NP_EMBED,
                                          static_cast<int16_t>(argn.size()), argn.data(),
                                          argv.data(), nullptr);
  }
  // A browser never destroys an instance that failed to start.
  if (new_result_ != NPERR_NO_ERROR) destroyed_ = true;
  else host.instances_.insert(this);
}

Instance::~Instance() {
  if (host_ && !destroyed_) Destroy();
  if (host_) host_->Forget(this);
}

NPError Instance::SetWindowRecord(NPWindow* window) {
  if (!host_ || !host_->plugin_funcs_.setwindow) return NPERR_INVALID_PLUGIN_ERROR;
  return host_->plugin_funcs_.setwindow(&npp_, window);
}

NPError Instance::SetWindow(void* native_handle) {
  window_.window = native_handle;
  window_.x = 0;
  window_.y = 0;
  window_.width = 1;
  window_.height = 1;
  window_.clipRect = NPRect{0, 0, 1, 1};
  window_.ws_info = ws_info_;
  window_.type = NPWindowTypeWindow;
  return SetWindowRecord(&window_);
}

NPError Instance::GetValue(NPPVariable variable, void* value) {
  if (!host_ || !host_->plugin_funcs_.getvalue) return NPERR_INVALID_PLUGIN_ERROR;
  return host_->plugin_funcs_.getvalue(&npp_, variable, value);
}

Instance::ScriptableObject Instance::GetScriptableObject() {
  ScriptableObject r;
  NPObject* object = nullptr;
  r.error = GetValue(NPPVpluginScriptableNPObject, &object);
  r.object = object;
  return r;
}

NPObject* Instance::script_object() {
  if (!script_object_ && !destroyed_) {
    ScriptableObject r = GetScriptableObject();
    if (r.error == NPERR_NO_ERROR) script_object_ = r.object;
  }
  return script_object_;
}

CallResult Instance::Invoke(const std::string& method, const std::vector<Value>& args) {
  NPObject* object = script_object();
  if (!object) return CallResult{};
  return host_->Invoke(object, method, args);
}

CallResult Instance::InvokeDefault(const std::vector<Value>& args) {
  NPObject* object = script_object();
  if (!object) return CallResult{};
  return host_->InvokeDefault(object, args);
}

bool Instance::HasMethod(const std::string& name) {
  NPObject* object = script_object();
  return object && host_->HasMethod(object, name);
}

CallResult Instance::GetProperty(const std::string& name) {
  NPObject* object = script_object();
  if (!object) return CallResult{};
  return host_->GetProperty(object, name);
}

bool Instance::SetProperty(const std::string& name, const Value& value) {
  NPObject* object = script_object();
  return object && host_->SetProperty(object, name, value);
}

NPError Instance::Destroy() {
  if (destroyed_ || !host_) return NPERR_NO_ERROR;
  destroyed_ = true;
  NPError e = NPERR_INVALID_PLUGIN_ERROR;
  if (host_->plugin_funcs_.destroy) {
    NPSavedData* saved = nullptr;
    e = host_->plugin_funcs_.destroy(&npp_, &saved);
    if (saved) {
      BrowserCallbacks::MemFree(saved->buf);
      BrowserCallbacks::MemFree(saved);
    }
  }
  if (script_object_) {
    host_->Release(script_object_);
    script_object_ = nullptr;
  }
  host_->Forget(this);
  return e;
}

std::vector<UrlRequest> Instance::url_requests() const {
  std::vector<UrlRequest> out;
  if (!host_) return out;
  for (const UrlRequest& r : host_->url_requests())
    if (r.instance == &npp_) out.push_back(r);
  return out;
}

}  // namespace quenta_host
