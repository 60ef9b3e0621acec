// The Netscape Plug-in API as this module and its test host see it: the
// binary layout of the types and function tables that cross between a
// browser and a plug-in. Written from the published ABI; layouts follow the
// C rules of the platform, so the same source is right for 32-bit Windows
// and 64-bit Linux.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define NP_CALLBACK __cdecl
#define NP_EXPORT_CALL __stdcall
#define NP_EXPORT(type) extern "C" __declspec(dllexport) type NP_EXPORT_CALL
#else
#define NP_CALLBACK
#define NP_EXPORT_CALL
#define NP_EXPORT(type) extern "C" __attribute__((visibility("default"))) type
#endif

extern "C" {

typedef int16_t NPError;
typedef int16_t NPReason;
typedef unsigned char NPBool;
typedef char NPUTF8;
typedef char* NPMIMEType;
typedef void* NPIdentifier;
typedef void* NPRegion;

enum : NPError {
  NPERR_NO_ERROR = 0,
  NPERR_GENERIC_ERROR = 1,
  NPERR_INVALID_INSTANCE_ERROR = 2,
  NPERR_INVALID_FUNCTABLE_ERROR = 3,
  NPERR_MODULE_LOAD_FAILED_ERROR = 4,
  NPERR_OUT_OF_MEMORY_ERROR = 5,
  NPERR_INVALID_PLUGIN_ERROR = 6,
  NPERR_INVALID_PLUGIN_DIR_ERROR = 7,
  NPERR_INCOMPATIBLE_VERSION_ERROR = 8,
  NPERR_INVALID_PARAM = 9,
  NPERR_INVALID_URL = 10,
  NPERR_FILE_NOT_FOUND = 11,
  NPERR_NO_DATA = 12,
  NPERR_STREAM_NOT_SEEKABLE = 13,
};

enum : NPReason { NPRES_DONE = 0, NPRES_NETWORK_ERR = 1, NPRES_USER_BREAK = 2 };

enum : uint16_t { NP_NORMAL = 1, NP_SEEK = 2, NP_ASFILE = 3, NP_ASFILEONLY = 4 };
enum : uint16_t { NP_EMBED = 1, NP_FULL = 2 };

#define NP_VERSION_MAJOR 0
#define NP_VERSION_MINOR 19

typedef struct _NPP {
  void* pdata;  // plug-in private data
  void* ndata;  // browser private data
} NPP_t;
typedef NPP_t* NPP;

typedef struct _NPStream {
  void* pdata;
  void* ndata;
  const char* url;
  uint32_t end;
  uint32_t lastmodified;
  void* notifyData;
  const char* headers;
} NPStream;

typedef struct _NPByteRange {
  int32_t offset;
  uint32_t length;
  struct _NPByteRange* next;
} NPByteRange;

typedef struct _NPSavedData {
  int32_t len;
  void* buf;
} NPSavedData;

typedef struct _NPRect {
  uint16_t top;
  uint16_t left;
  uint16_t bottom;
  uint16_t right;
} NPRect;

typedef enum { NPWindowTypeWindow = 1, NPWindowTypeDrawable } NPWindowType;

typedef struct _NPWindow {
  void* window;  // native window handle (HWND; an X window id on Unix)
  int32_t x;
  int32_t y;
  uint32_t width;
  uint32_t height;
  NPRect clipRect;
#if !defined(_WIN32)
  void* ws_info;  // Unix: NPSetWindowCallbackStruct*
#endif
  NPWindowType type;
} NPWindow;

typedef struct _NPPrint {
  uint16_t mode;
  void* print;  // union of embed/full print data; never read by this module
} NPPrint;

typedef enum {
  NPPVpluginNameString = 1,
  NPPVpluginDescriptionString = 2,
  NPPVpluginWindowBool = 3,
  NPPVpluginTransparentBool = 4,
  NPPVjavaClass = 5,
  NPPVpluginWindowSize = 6,
  NPPVpluginTimerInterval = 7,
  NPPVpluginScriptableIID = 11,
  NPPVjavascriptPushCallerBool = 12,
  NPPVpluginKeepLibraryInMemory = 13,
  NPPVpluginNeedsXEmbed = 14,
  NPPVpluginScriptableNPObject = 15,
} NPPVariable;

typedef enum {
  NPNVxDisplay = 1,
  NPNVxtAppContext = 2,
  NPNVnetscapeWindow = 3,
  NPNVjavascriptEnabledBool = 4,
  NPNVasdEnabledBool = 5,
  NPNVisOfflineBool = 6,
  NPNVToolkit = 13,
  NPNVSupportsXEmbedBool = 14,
  NPNVWindowNPObject = 15,
  NPNVPluginElementNPObject = 16,
} NPNVariable;

// ---- scripting -------------------------------------------------------------

typedef struct _NPString {
  const NPUTF8* UTF8Characters;
  uint32_t UTF8Length;
} NPString;

struct NPObject;
struct NPClass;

typedef enum {
  NPVariantType_Void = 0,
  NPVariantType_Null = 1,
  NPVariantType_Bool = 2,
  NPVariantType_Int32 = 3,
  NPVariantType_Double = 4,
  NPVariantType_String = 5,
  NPVariantType_Object = 6,
} NPVariantType;

typedef struct _NPVariant {
  NPVariantType type;
  union {
    bool boolValue;
    int32_t intValue;
    double doubleValue;
    NPString stringValue;
    NPObject* objectValue;
  } value;
} NPVariant;

typedef NPObject* (NP_CALLBACK* NPAllocateFunctionPtr)(NPP npp, NPClass* aClass);
typedef void (NP_CALLBACK* NPDeallocateFunctionPtr)(NPObject* npobj);
typedef void (NP_CALLBACK* NPInvalidateFunctionPtr)(NPObject* npobj);
typedef bool (NP_CALLBACK* NPHasMethodFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (NP_CALLBACK* NPInvokeFunctionPtr)(NPObject* npobj, NPIdentifier name,
                                                const NPVariant* args, uint32_t argCount,
                                                NPVariant* result);
typedef bool (NP_CALLBACK* NPInvokeDefaultFunctionPtr)(NPObject* npobj, const NPVariant* args,
                                                       uint32_t argCount, NPVariant* result);
typedef bool (NP_CALLBACK* NPHasPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (NP_CALLBACK* NPGetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name,
                                                     NPVariant* result);
typedef bool (NP_CALLBACK* NPSetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name,
                                                     const NPVariant* value);
typedef bool (NP_CALLBACK* NPRemovePropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (NP_CALLBACK* NPEnumerationFunctionPtr)(NPObject* npobj, NPIdentifier** value,
                                                     uint32_t* count);
typedef bool (NP_CALLBACK* NPConstructFunctionPtr)(NPObject* npobj, const NPVariant* args,
                                                   uint32_t argCount, NPVariant* result);

#define NP_CLASS_STRUCT_VERSION 3

struct NPClass {
  uint32_t structVersion;
  NPAllocateFunctionPtr allocate;
  NPDeallocateFunctionPtr deallocate;
  NPInvalidateFunctionPtr invalidate;
  NPHasMethodFunctionPtr hasMethod;
  NPInvokeFunctionPtr invoke;
  NPInvokeDefaultFunctionPtr invokeDefault;
  NPHasPropertyFunctionPtr hasProperty;
  NPGetPropertyFunctionPtr getProperty;
  NPSetPropertyFunctionPtr setProperty;
  NPRemovePropertyFunctionPtr removeProperty;
  NPEnumerationFunctionPtr enumerate;
  NPConstructFunctionPtr construct;
};

struct NPObject {
  NPClass* _class;
  uint32_t referenceCount;
};

// ---- plug-in side function table --------------------------------------------

typedef NPError (NP_CALLBACK* NPP_NewProcPtr)(NPMIMEType pluginType, NPP instance, uint16_t mode,
                                              int16_t argc, char* argn[], char* argv[],
                                              NPSavedData* saved);
typedef NPError (NP_CALLBACK* NPP_DestroyProcPtr)(NPP instance, NPSavedData** save);
typedef NPError (NP_CALLBACK* NPP_SetWindowProcPtr)(NPP instance, NPWindow* window);
typedef NPError (NP_CALLBACK* NPP_NewStreamProcPtr)(NPP instance, NPMIMEType type,
                                                    NPStream* stream, NPBool seekable,
                                                    uint16_t* stype);
typedef NPError (NP_CALLBACK* NPP_DestroyStreamProcPtr)(NPP instance, NPStream* stream,
                                                        NPReason reason);
typedef void (NP_CALLBACK* NPP_StreamAsFileProcPtr)(NPP instance, NPStream* stream,
                                                    const char* fname);
typedef int32_t (NP_CALLBACK* NPP_WriteReadyProcPtr)(NPP instance, NPStream* stream);
typedef int32_t (NP_CALLBACK* NPP_WriteProcPtr)(NPP instance, NPStream* stream, int32_t offset,
                                                int32_t len, void* buffer);
typedef void (NP_CALLBACK* NPP_PrintProcPtr)(NPP instance, NPPrint* platformPrint);
typedef int16_t (NP_CALLBACK* NPP_HandleEventProcPtr)(NPP instance, void* event);
typedef void (NP_CALLBACK* NPP_URLNotifyProcPtr)(NPP instance, const char* url, NPReason reason,
                                                 void* notifyData);
typedef NPError (NP_CALLBACK* NPP_GetValueProcPtr)(NPP instance, NPPVariable variable,
                                                   void* value);
typedef NPError (NP_CALLBACK* NPP_SetValueProcPtr)(NPP instance, NPNVariable variable,
                                                   void* value);

typedef struct _NPPluginFuncs {
  uint16_t size;
  uint16_t version;
  NPP_NewProcPtr newp;
  NPP_DestroyProcPtr destroy;
  NPP_SetWindowProcPtr setwindow;
  NPP_NewStreamProcPtr newstream;
  NPP_DestroyStreamProcPtr destroystream;
  NPP_StreamAsFileProcPtr asfile;
  NPP_WriteReadyProcPtr writeready;
  NPP_WriteProcPtr write;
  NPP_PrintProcPtr print;
  NPP_HandleEventProcPtr event;
  NPP_URLNotifyProcPtr urlnotify;
  void* javaClass;
  NPP_GetValueProcPtr getvalue;
  NPP_SetValueProcPtr setvalue;
  // Later additions; this module neither reads nor fills them.
  void* gotfocus;
  void* lostfocus;
  void* urlredirectnotify;
  void* clearsitedata;
  void* getsiteswithdata;
  void* didComposite;
} NPPluginFuncs;

// ---- browser side function table -------------------------------------------

typedef NPError (NP_CALLBACK* NPN_GetURLProcPtr)(NPP instance, const char* url,
                                                 const char* window);
typedef NPError (NP_CALLBACK* NPN_PostURLProcPtr)(NPP instance, const char* url,
                                                  const char* window, uint32_t len,
                                                  const char* buf, NPBool file);
typedef NPError (NP_CALLBACK* NPN_RequestReadProcPtr)(NPStream* stream, NPByteRange* rangeList);
typedef NPError (NP_CALLBACK* NPN_NewStreamProcPtr)(NPP instance, NPMIMEType type,
                                                    const char* window, NPStream** stream);
typedef int32_t (NP_CALLBACK* NPN_WriteProcPtr)(NPP instance, NPStream* stream, int32_t len,
                                                void* buffer);
typedef NPError (NP_CALLBACK* NPN_DestroyStreamProcPtr)(NPP instance, NPStream* stream,
                                                        NPReason reason);
typedef void (NP_CALLBACK* NPN_StatusProcPtr)(NPP instance, const char* message);
typedef const char* (NP_CALLBACK* NPN_UserAgentProcPtr)(NPP instance);
typedef void* (NP_CALLBACK* NPN_MemAllocProcPtr)(uint32_t size);
typedef void (NP_CALLBACK* NPN_MemFreeProcPtr)(void* ptr);
typedef uint32_t (NP_CALLBACK* NPN_MemFlushProcPtr)(uint32_t size);
typedef void (NP_CALLBACK* NPN_ReloadPluginsProcPtr)(NPBool reloadPages);
typedef void* (NP_CALLBACK* NPN_GetJavaEnvProcPtr)(void);
typedef void* (NP_CALLBACK* NPN_GetJavaPeerProcPtr)(NPP instance);
typedef NPError (NP_CALLBACK* NPN_GetURLNotifyProcPtr)(NPP instance, const char* url,
                                                       const char* window, void* notifyData);
typedef NPError (NP_CALLBACK* NPN_PostURLNotifyProcPtr)(NPP instance, const char* url,
                                                        const char* window, uint32_t len,
                                                        const char* buf, NPBool file,
                                                        void* notifyData);
typedef NPError (NP_CALLBACK* NPN_GetValueProcPtr)(NPP instance, NPNVariable variable,
                                                   void* ret_value);
typedef NPError (NP_CALLBACK* NPN_SetValueProcPtr)(NPP instance, NPPVariable variable,
                                                   void* value);
typedef void (NP_CALLBACK* NPN_InvalidateRectProcPtr)(NPP instance, NPRect* rect);
typedef void (NP_CALLBACK* NPN_InvalidateRegionProcPtr)(NPP instance, NPRegion region);
typedef void (NP_CALLBACK* NPN_ForceRedrawProcPtr)(NPP instance);
typedef NPIdentifier (NP_CALLBACK* NPN_GetStringIdentifierProcPtr)(const NPUTF8* name);
typedef void (NP_CALLBACK* NPN_GetStringIdentifiersProcPtr)(const NPUTF8** names,
                                                            int32_t nameCount,
                                                            NPIdentifier* identifiers);
typedef NPIdentifier (NP_CALLBACK* NPN_GetIntIdentifierProcPtr)(int32_t intid);
typedef bool (NP_CALLBACK* NPN_IdentifierIsStringProcPtr)(NPIdentifier identifier);
typedef NPUTF8* (NP_CALLBACK* NPN_UTF8FromIdentifierProcPtr)(NPIdentifier identifier);
typedef int32_t (NP_CALLBACK* NPN_IntFromIdentifierProcPtr)(NPIdentifier identifier);
typedef NPObject* (NP_CALLBACK* NPN_CreateObjectProcPtr)(NPP npp, NPClass* aClass);
typedef NPObject* (NP_CALLBACK* NPN_RetainObjectProcPtr)(NPObject* obj);
typedef void (NP_CALLBACK* NPN_ReleaseObjectProcPtr)(NPObject* obj);
typedef bool (NP_CALLBACK* NPN_InvokeProcPtr)(NPP npp, NPObject* obj, NPIdentifier methodName,
                                              const NPVariant* args, uint32_t argCount,
                                              NPVariant* result);
typedef bool (NP_CALLBACK* NPN_InvokeDefaultProcPtr)(NPP npp, NPObject* obj,
                                                     const NPVariant* args, uint32_t argCount,
                                                     NPVariant* result);
typedef bool (NP_CALLBACK* NPN_EvaluateProcPtr)(NPP npp, NPObject* obj, NPString* script,
                                                NPVariant* result);
typedef bool (NP_CALLBACK* NPN_GetPropertyProcPtr)(NPP npp, NPObject* obj,
                                                   NPIdentifier propertyName, NPVariant* result);
typedef bool (NP_CALLBACK* NPN_SetPropertyProcPtr)(NPP npp, NPObject* obj,
                                                   NPIdentifier propertyName,
                                                   const NPVariant* value);
typedef bool (NP_CALLBACK* NPN_RemovePropertyProcPtr)(NPP npp, NPObject* obj,
                                                      NPIdentifier propertyName);
typedef bool (NP_CALLBACK* NPN_HasPropertyProcPtr)(NPP npp, NPObject* obj,
                                                   NPIdentifier propertyName);
typedef bool (NP_CALLBACK* NPN_HasMethodProcPtr)(NPP npp, NPObject* obj,
                                                 NPIdentifier propertyName);
typedef void (NP_CALLBACK* NPN_ReleaseVariantValueProcPtr)(NPVariant* variant);
typedef void (NP_CALLBACK* NPN_SetExceptionProcPtr)(NPObject* obj, const NPUTF8* message);
typedef void (NP_CALLBACK* NPN_PushPopupsEnabledStateProcPtr)(NPP npp, NPBool enabled);
typedef void (NP_CALLBACK* NPN_PopPopupsEnabledStateProcPtr)(NPP npp);
typedef bool (NP_CALLBACK* NPN_EnumerateProcPtr)(NPP npp, NPObject* obj,
                                                 NPIdentifier** identifier, uint32_t* count);
typedef void (NP_CALLBACK* NPN_PluginThreadAsyncCallProcPtr)(NPP instance,
                                                             void (*func)(void*),
                                                             void* userData);
typedef bool (NP_CALLBACK* NPN_ConstructProcPtr)(NPP npp, NPObject* obj, const NPVariant* args,
                                                 uint32_t argCount, NPVariant* result);

typedef struct _NPNetscapeFuncs {
  uint16_t size;
  uint16_t version;
  NPN_GetURLProcPtr geturl;
  NPN_PostURLProcPtr posturl;
  NPN_RequestReadProcPtr requestread;
  NPN_NewStreamProcPtr newstream;
  NPN_WriteProcPtr write;
  NPN_DestroyStreamProcPtr destroystream;
  NPN_StatusProcPtr status;
  NPN_UserAgentProcPtr uagent;
  NPN_MemAllocProcPtr memalloc;
  NPN_MemFreeProcPtr memfree;
  NPN_MemFlushProcPtr memflush;
  NPN_ReloadPluginsProcPtr reloadplugins;
  NPN_GetJavaEnvProcPtr getJavaEnv;
  NPN_GetJavaPeerProcPtr getJavaPeer;
  NPN_GetURLNotifyProcPtr geturlnotify;
  NPN_PostURLNotifyProcPtr posturlnotify;
  NPN_GetValueProcPtr getvalue;
  NPN_SetValueProcPtr setvalue;
  NPN_InvalidateRectProcPtr invalidaterect;
  NPN_InvalidateRegionProcPtr invalidateregion;
  NPN_ForceRedrawProcPtr forceredraw;
  NPN_GetStringIdentifierProcPtr getstringidentifier;
  NPN_GetStringIdentifiersProcPtr getstringidentifiers;
  NPN_GetIntIdentifierProcPtr getintidentifier;
  NPN_IdentifierIsStringProcPtr identifierisstring;
  NPN_UTF8FromIdentifierProcPtr utf8fromidentifier;
  NPN_IntFromIdentifierProcPtr intfromidentifier;
  NPN_CreateObjectProcPtr createobject;
  NPN_RetainObjectProcPtr retainobject;
  NPN_ReleaseObjectProcPtr releaseobject;
  NPN_InvokeProcPtr invoke;
  NPN_InvokeDefaultProcPtr invokeDefault;
  NPN_EvaluateProcPtr evaluate;
  NPN_GetPropertyProcPtr getproperty;
  NPN_SetPropertyProcPtr setproperty;
  NPN_RemovePropertyProcPtr removeproperty;
  NPN_HasPropertyProcPtr hasproperty;
  NPN_HasMethodProcPtr hasmethod;
  NPN_ReleaseVariantValueProcPtr releasevariantvalue;
  NPN_SetExceptionProcPtr setexception;
  NPN_PushPopupsEnabledStateProcPtr pushpopupsenabledstate;
  NPN_PopPopupsEnabledStateProcPtr poppopupsenabledstate;
  NPN_EnumerateProcPtr enumerate;
  NPN_PluginThreadAsyncCallProcPtr pluginthreadasynccall;
  NPN_ConstructProcPtr construct;
  // Later additions (getvalueforurl onwards) are never read by this module.
} NPNetscapeFuncs;

}  // extern "C"

// The smallest tables this module accepts, computed from the layout: the
// plug-in table must reach the end of its setvalue slot (60 bytes on a
// 32-bit build), the browser table the end of its construct slot (184).
constexpr uint16_t kMinPluginFuncsSize =
    offsetof(NPPluginFuncs, setvalue) + sizeof(NPP_SetValueProcPtr);
constexpr uint16_t kMinBrowserFuncsSize =
    offsetof(NPNetscapeFuncs, construct) + sizeof(NPN_ConstructProcPtr);

static_assert(sizeof(void*) != 4 || kMinPluginFuncsSize == 60, "32-bit plug-in table layout");
static_assert(sizeof(void*) != 4 || kMinBrowserFuncsSize == 184, "32-bit browser table layout");
static_assert(sizeof(void*) != 8 || kMinPluginFuncsSize == 120, "64-bit plug-in table layout");
static_assert(sizeof(void*) != 8 || kMinBrowserFuncsSize == 368, "64-bit browser table layout");

// Variant helpers, as the public NPAPI headers define them as macros.
inline void VOID_TO_NPVARIANT(NPVariant& v) { v.type = NPVariantType_Void; v.value.objectValue = nullptr; }
inline void NULL_TO_NPVARIANT(NPVariant& v) { v.type = NPVariantType_Null; v.value.objectValue = nullptr; }
inline void BOOLEAN_TO_NPVARIANT(bool b, NPVariant& v) { v.type = NPVariantType_Bool; v.value.boolValue = b; }
inline void INT32_TO_NPVARIANT(int32_t i, NPVariant& v) { v.type = NPVariantType_Int32; v.value.intValue = i; }
inline void DOUBLE_TO_NPVARIANT(double d, NPVariant& v) { v.type = NPVariantType_Double; v.value.doubleValue = d; }
inline void STRINGN_TO_NPVARIANT(const char* s, uint32_t n, NPVariant& v) {
  v.type = NPVariantType_String;
  v.value.stringValue.UTF8Characters = s;
  v.value.stringValue.UTF8Length = n;
}
inline void OBJECT_TO_NPVARIANT(NPObject* o, NPVariant& v) { v.type = NPVariantType_Object; v.value.objectValue = o; }
