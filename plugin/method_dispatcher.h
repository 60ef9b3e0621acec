// Matches a page call to one of the 23 methods, checks and converts its
// arguments, runs the engine operation and builds the result text. Knows
// nothing of the transport: the NPAPI object and the native messaging host
// both come through here.
#pragma once

#include <memory>
#include <vector>

#include "engine/keys_storage_comp.h"
#include "plugin/method_table.h"
#include "plugin/script_value.h"

namespace quenta {

class CMethodDispatcher {
 public:
  CMethodDispatcher();
  ~CMethodDispatcher();
  CMethodDispatcher(const CMethodDispatcher&) = delete;
  CMethodDispatcher& operator=(const CMethodDispatcher&) = delete;

  // Runs the method. An argument count or type mismatch gives an exception
  // result and does not reach the engine. The engine is not built for
  // re-entry: a call that arrives while an earlier call of this dispatcher
  // is still running (a modal dialog is open) gets the plain code 603 and
  // changes nothing.
  ScriptResult Call(MethodId method, const std::vector<ScriptValue>& args);

  // Where page callbacks raised during a call go.
  void SetPageTarget(IPageTarget* target) { engine_->PageCallback().SetTarget(target); }
  CKeysStorageComp& Engine() { return *engine_; }

 private:
  std::unique_ptr<CKeysStorageComp> engine_;
  bool busy_ = false;
};

}  // namespace quenta
