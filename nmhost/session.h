// One page connection of the native messaging host: the requests of one
// page, run on one engine, in arrival order.
//
// Request:   {"id": 7, "method": "Sign", "args": ["|k1|", "k1", "4142"]}
// Replies:   {"id": 7, "result": "0|k1|ABCD"}      the method's result text
//            {"id": 7, "undefined": true}          no value (SetLanguage, RegisterCert)
//            {"id": 7, "exception": "..."}         the call fails as a script exception
//            {"id": 7, "error": "..."}             the request itself is unusable
//            {"id": null, "error": "..."}          ... and carried no usable id
// Event:     {"event": "componentWKPEvent", "args": ["", "K1", "Main key", "1"]}
//
// An argument {"undefined": true} stands for the page's undefined, which
// JSON cannot write; every other object or array is an object argument.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "plugin/call_js.h"
#include "plugin/method_dispatcher.h"
#include "plugin/script_value.h"

namespace quenta {

struct JsonValue;

// Where the host's messages go: one message body per call, framed by the
// implementation. Returns false when the message could not be delivered
// (the browser went away).
class IMessageWriter {
 public:
  virtual ~IMessageWriter() = default;
  virtual bool WriteMessage(const std::string& body) = 0;
};

class CNativeSession : public IPageTarget {
 public:
  explicit CNativeSession(IMessageWriter& out);
  ~CNativeSession() override;
  CNativeSession(const CNativeSession&) = delete;
  CNativeSession& operator=(const CNativeSession&) = delete;

  // Handles one request body: writes any events raised while the method
  // runs, then exactly one reply. Returns false once a message could not be
  // written; the connection is then gone.
  bool HandleRequest(const char* body, std::size_t length);

  // A reply with no id, for a failure of the stream itself.
  bool SendStreamError(const std::string& message);

  // Page callbacks raised by the engine while a call runs.
  void DeliverWKPEvent(const std::string& reserved, const std::string& keyName,
                       const std::string& label, int count) override;

  CMethodDispatcher& Dispatcher() { return *dispatcher_; }

 private:
  bool Send(const std::string& body);
  bool SendUndefined(const std::string& idText);

  IMessageWriter& out_;
  std::unique_ptr<CMethodDispatcher> dispatcher_;
  bool broken_ = false;
};

// The script value a JSON argument becomes: string, number (int when it is
// integral and fits 32 bits, double otherwise), true/false, null, the
// undefined marker (void), other objects and arrays (object).
ScriptValue ArgumentFromJson(const JsonValue& v);

// The reply {"id":ID,"MEMBER":"TEXT"}; when that would exceed what a
// browser accepts from a host, an error reply for the same id instead.
std::string ReplyBody(const std::string& idText, const char* member, const std::string& utf8);

// The reason given for a call the dispatcher refused, from the method's
// argument list: count or type mismatch.
std::string ExceptionReason(MethodId method, const std::vector<ScriptValue>& args);

}  // namespace quenta
