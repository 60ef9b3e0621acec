// Calls from the plug-in into the bank's page while a method call runs.
// The one page function called is componentWKPEvent, raised when a key
// password attempt fails.
#pragma once

#include <string>

namespace quenta {

// Whatever connects an engine to its page: the plug-in instance record in a
// browser that loads the module, or a native messaging connection.
class IPageTarget {
 public:
  virtual ~IPageTarget() = default;
  // keyName: the key's name as the page gave it; label: the key's display
  // label, Windows-1250.
  virtual void DeliverWKPEvent(const std::string& reserved, const std::string& keyName,
                               const std::string& label, int count) = 0;
};

class CCallJS {
 public:
  virtual ~CCallJS() = default;

  void SetTarget(IPageTarget* target) { target_ = target; }
  IPageTarget* Target() const { return target_; }

  // Tells the page about a failed attempt. Without a target nothing is sent.
  // Returns 0; what the page does with it is its own business.
  int FireWKPEvent(const char* reserved, const char* keyName, const char* label, int count);

  // The "javascript:" address that calls componentWKPEvent with the four
  // values. Every value is written as the body of a single-quoted JavaScript
  // string literal in which anything but plain letters, digits and a few
  // harmless punctuation marks is a \uXXXX escape, so the page function
  // receives exactly the original texts whatever they contain (quotes,
  // backslashes, line breaks, "</script>", "%" sequences a browser would
  // unescape in an address, non-ASCII letters).
  static std::string BuildWKPEventAddress(const std::string& reserved, const std::string& keyName,
                                          const std::string& label, int count);

  // How the bytes of a text are read when they are turned into characters.
  enum class TextBytes {
    kPage,      // as the page sent them: UTF-8; bytes that are not valid UTF-8
                // are read as Windows-1250
    kWin1250,   // the engine's own code page
  };
  static std::string EscapeForSingleQuotedLiteral(const std::string& text, TextBytes bytes);

 private:
  IPageTarget* target_ = nullptr;
};

}  // namespace quenta
