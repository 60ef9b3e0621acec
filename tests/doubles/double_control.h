// Test-side access to the control interfaces of the two doubles. A test
// opens the double with dlopen itself, so the instance the code under test
// loads through the configured path is the same one, and its state lives
// as long as the test's handle.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace quenta_test {

template <class Fn>
Fn Resolve(void* handle, const char* name) {
  void* p = ::dlsym(handle, name);
  if (!p) throw std::runtime_error(std::string("double lacks ") + name);
  return reinterpret_cast<Fn>(p);
}

class PcscDouble {
 public:
  explicit PcscDouble(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW)) {
    if (!handle_) throw std::runtime_error(::dlerror());
    Reset = Resolve<void (*)()>(handle_, "QuentaPcscDoubleReset");
    AddReader = Resolve<void (*)(const char*, const char*)>(handle_, "QuentaPcscDoubleAddReader");
    Fail = Resolve<void (*)(const char*, long)>(handle_, "QuentaPcscDoubleFail");
    OpenContexts = Resolve<int (*)()>(handle_, "QuentaPcscDoubleOpenContexts");
    OutstandingBuffers = Resolve<int (*)()>(handle_, "QuentaPcscDoubleOutstandingBuffers");
    StatusCalls = Resolve<int (*)()>(handle_, "QuentaPcscDoubleStatusCalls");
    Reset();
  }
  ~PcscDouble() {
    Reset();
    ::dlclose(handle_);
  }
  PcscDouble(const PcscDouble&) = delete;
  PcscDouble& operator=(const PcscDouble&) = delete;

  void (*Reset)();
  void (*AddReader)(const char* name, const char* atrHex);
  void (*Fail)(const char* function, long rv);
  int (*OpenContexts)();
  int (*OutstandingBuffers)();
  int (*StatusCalls)();

 private:
  void* handle_;
};

class P11Double {
 public:
  explicit P11Double(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW)) {
    if (!handle_) throw std::runtime_error(::dlerror());
    Reset = Resolve<void (*)()>(handle_, "QuentaP11DoubleReset");
    AddToken = Resolve<void (*)(unsigned long, const char*, const char*, const char*, const char*)>(
        handle_, "QuentaP11DoubleAddToken");
    AddKey = Resolve<void (*)(unsigned long, const char*, const unsigned char*, unsigned long, int,
                              int)>(handle_, "QuentaP11DoubleAddKey");
    AddObject = Resolve<void (*)(unsigned long, unsigned long, const char*)>(
        handle_, "QuentaP11DoubleAddObject");
    SetTries = Resolve<void (*)(unsigned long, int, int)>(handle_, "QuentaP11DoubleSetTries");
    SetState = Resolve<void (*)(unsigned long, int, int)>(handle_, "QuentaP11DoubleSetState");
    Force = Resolve<void (*)(const char*, unsigned long)>(handle_, "QuentaP11DoubleForce");
    Unforce = Resolve<void (*)(const char*)>(handle_, "QuentaP11DoubleUnforce");
    SetDeviceError = Resolve<void (*)(long long)>(handle_, "QuentaP11DoubleSetDeviceError");
    Calls = Resolve<int (*)(const char*)>(handle_, "QuentaP11DoubleCalls");
    OpenSessions = Resolve<int (*)()>(handle_, "QuentaP11DoubleOpenSessions");
    Initialised = Resolve<int (*)()>(handle_, "QuentaP11DoubleInitialised");
    ObjectCount = Resolve<int (*)(unsigned long)>(handle_, "QuentaP11DoubleObjectCount");
    UserPinRaw = Resolve<int (*)(unsigned long, char*, unsigned long)>(handle_, "QuentaP11DoubleUserPin");
    LastSignedRaw =
        Resolve<int (*)(unsigned char*, unsigned long*)>(handle_, "QuentaP11DoubleLastSigned");
    Reset();
  }
  ~P11Double() {
    Reset();
    ::dlclose(handle_);
  }
  P11Double(const P11Double&) = delete;
  P11Double& operator=(const P11Double&) = delete;

  std::string UserPin(unsigned long slot) {
    char buf[64] = {0};
    return UserPinRaw(slot, buf, sizeof buf) ? std::string(buf) : std::string();
  }
  std::string LastSigned() {
    unsigned char buf[512];
    unsigned long n = sizeof buf;
    return LastSignedRaw(buf, &n) ? std::string(reinterpret_cast<char*>(buf), n) : std::string();
  }

  void (*Reset)();
  void (*AddToken)(unsigned long slot, const char* description, const char* serial,
                   const char* userPin, const char* soPin);
  void (*AddKey)(unsigned long slot, const char* label, const unsigned char* modulus,
                 unsigned long length, int withPublic, int withPrivate);
  void (*AddObject)(unsigned long slot, unsigned long cls, const char* label);
  void (*SetTries)(unsigned long slot, int userTries, int soTries);
  void (*SetState)(unsigned long slot, int initialised, int userPinSet);
  void (*Force)(const char* function, unsigned long rv);
  void (*Unforce)(const char* function);
  void (*SetDeviceError)(long long value);
  int (*Calls)(const char* function);
  int (*OpenSessions)();
  int (*Initialised)();
  int (*ObjectCount)(unsigned long slot);

 private:
  int (*UserPinRaw)(unsigned long, char*, unsigned long);
  int (*LastSignedRaw)(unsigned char*, unsigned long*);
  void* handle_;
};

}  // namespace quenta_test
