// Helpers for tests that open real windows under an X server (Xvfb): the
// wx user interface installed, scripts that run inside a dialog's modal loop
// once it is on screen, simulated input and screenshots.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wx/image.h>
#include <wx/log.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#include "dialogs/ui.h"
#include "platform/wx/wx_app.h"
#include "platform/wx/wx_dialog_view.h"
#include "platform/wx/wx_ui.h"
#include "tests/support/test_support.h"

namespace quenta_gui {

// The real interface, but message boxes are recorded and answered from a
// queue unless a test asks for the real box.
class RecordingWxUi : public quenta::WxUserInterface {
 public:
  int ShowMessage(const quenta::MessageRequest& r) override {
    messages.push_back(r);
    if (realMessageBoxes) return WxUserInterface::ShowMessage(r);
    return quenta::kIdOk;
  }
  std::vector<int> MessageIds() const {
    std::vector<int> ids;
    for (const auto& m : messages) ids.push_back(m.textId);
    return ids;
  }
  std::vector<quenta::MessageRequest> messages;
  bool realMessageBoxes = false;
};

// Processes events until done() or the time is up; true when done.
inline bool Pump(const std::function<bool()>& done, int timeoutMs = 3000) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    wxTheApp->Yield(true);
    if (done()) return true;
    wxMilliSleep(10);
  }
  wxTheApp->Yield(true);
  return done();
}
inline void Settle(int ms = 150) {
  Pump([] { return false; }, ms);
}

// Polls for the dialog with a resource id to be on screen, then runs the
// script inside its modal loop.
class DialogWatch : public wxTimer {
 public:
  DialogWatch(int resourceId, std::function<void(quenta::WxDialogView&)> script)
      : resourceId_(resourceId), script_(std::move(script)) {
    Start(30);
  }
  void Notify() override {
    quenta::WxDialogView* v = quenta::WxDialogView::Innermost();
    if (!v || v->ResourceId() != resourceId_ || !v->IsShown()) return;
    Stop();
    Settle();  // let it map and paint
    script_(*v);
    ran = true;
  }
  bool ran = false;

 private:
  int resourceId_;
  std::function<void(quenta::WxDialogView&)> script_;
};

// Ends whatever dialog is still open after the time is up, so that a broken
// script fails instead of hanging.
class Watchdog : public wxTimer {
 public:
  explicit Watchdog(int ms) { StartOnce(ms); }
  void Notify() override {
    if (quenta::WxDialogView* v = quenta::WxDialogView::Innermost()) {
      ADD_FAILURE() << "dialog " << v->ResourceId() << " still open; ended by the watchdog";
      v->EndDialog(quenta::kIdCancel);
      StartOnce(500);
    }
  }
};

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "no display";
    // No accessibility bridge: its D-Bus connection is not ours to test.
    setenv("NO_AT_BRIDGE", "1", 0);
    ASSERT_TRUE(quenta::EnsureWxApp());
    delete wxLog::SetActiveTarget(new wxLogStderr);
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxInitAllImageHandlers();
    previous_ = quenta::SetCurrentUi(&ui_);
    watchdog_ = std::make_unique<Watchdog>(20000);
  }
  void TearDown() override {
    watchdog_.reset();
    watches_.clear();
    quenta::SetCurrentUi(previous_);
  }

  DialogWatch& WhenOpen(int resourceId, std::function<void(quenta::WxDialogView&)> script) {
    watches_.push_back(std::make_unique<DialogWatch>(resourceId, std::move(script)));
    return *watches_.back();
  }

  // Mouse click at a point of a window's client area.
  void ClickAt(wxWindow& w, int x, int y) {
    const wxPoint p = w.ClientToScreen(wxPoint(x, y));
    sim_.MouseMove(p);
    Settle(30);
    sim_.MouseClick();
    Settle(60);
  }
  void ClickControl(quenta::WxDialogView& v, int id) {
    wxWindow* w = v.ControlWindow(id);
    ASSERT_NE(w, nullptr);
    const wxSize s = w->GetSize();
    ClickAt(*w, s.x / 2, s.y / 2);
  }
  // Keyboard input goes to the window under the pointer (no window manager).
  void TypeInto(quenta::WxDialogView& v, int id, const char* text) {
    wxWindow* w = v.ControlWindow(id);
    ASSERT_NE(w, nullptr);
    ClickControl(v, id);
    w->SetFocus();
    Settle(30);
    // Focusing selects the whole text in GTK; type after it instead.
    if (auto* edit = dynamic_cast<wxTextCtrl*>(w)) edit->SetInsertionPointEnd();
    sim_.Text(text);
    Settle(100);
  }
  void Key(int keycode) {
    sim_.Char(keycode);
    Settle(100);
  }

  // Saves the screen area of a window as build/screenshots/<name>.png.
  static std::string Screenshot(wxWindow& w, const std::string& name) {
    const std::string dir = std::string(QUENTA_BINARY_DIR) + "/screenshots";
    quenta_test::RunCommand("mkdir -p '" + dir + "'");
    const wxRect r = w.GetScreenRect();
    const std::string file = dir + "/" + name + ".png";
    const std::string cmd = "import -window root -crop " + std::to_string(r.width) + "x" +
                            std::to_string(r.height) + "+" + std::to_string(r.x) + "+" +
                            std::to_string(r.y) + " +repage '" + file + "'";
    EXPECT_EQ(quenta_test::RunCommand(cmd), 0) << cmd;
    return file;
  }

  RecordingWxUi ui_;
  wxUIActionSimulator sim_;

 private:
  quenta::IUserInterface* previous_ = nullptr;
  std::unique_ptr<Watchdog> watchdog_;
  std::vector<std::unique_ptr<DialogWatch>> watches_;
};

}  // namespace quenta_gui
