// What the targets that run page methods need around the engine:
//
// - a private environment made once per process: HOME, XDG_CONFIG_HOME,
//   XDG_CONFIG_DIRS and QUENTA_NSS_DB point into a fresh temporary
//   directory, so the remembered key paths are written there and nowhere
//   else, and the certificate store is an empty database of its own. Device support is "installed" (the signing methods get past their
//   first check), but the PC/SC library and the PKCS#11 modules named in
//   components.conf do not exist, so no real reader, card or token is ever
//   reached: token methods fail at once with 96.
// - a user interface with no display (FuzzUi): every dialog runs its logic
//   against the tests' headless view (tests/support/scripted_dialog.h),
//   gets the user actions the input chose for it and is then closed with
//   its close box, or ended with Cancel when it will not close. Message
//   boxes, the file-open dialog and printing are answered from settings the
//   input chose. No window is ever opened.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "dialogs/dialog_logic.h"
#include "dialogs/ui.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "plugin/texts.h"
#include "tests/support/scripted_dialog.h"

namespace quenta_fuzz {

// The password the seed key (fuzz/corpus/fuzz_own_format/key-512.prv) is
// encrypted with; one dialog action types it.
constexpr char kSeedKeyPassword[] = "fuzz-password";

class PageEnvironment {
 public:
  // Made on first use (from LLVMFuzzerInitialize), removed at exit.
  static PageEnvironment& Get() {
    static PageEnvironment* env = new PageEnvironment();
    return *env;
  }

  const std::string& Root() const { return root_; }
  // Files the file-open dialog may be answered with.
  std::string SeedKeyFile() const { return root_ + "/files/key.prv"; }
  std::string EmptyFile() const { return root_ + "/files/empty.prv"; }
  std::string MissingFile() const { return root_ + "/files/missing.prv"; }
  std::string Directory() const { return root_ + "/files"; }

  // Makes every run start from the same state: no remembered key paths,
  // the default language.
  void Reset() const {
    ::unlink(keysFile_.c_str());
    quenta::SelectLanguage(0);
  }

 private:
  PageEnvironment() {
    const char* base = std::getenv("TMPDIR");
    std::string parent = base && *base == '/' ? base : "";
    if (parent.empty()) parent = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = parent + "/quenta-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(&pattern[0]) != nullptr);
    root_ = pattern;
    namespace fs = std::filesystem;
    fs::create_directories(root_ + "/home/.config");
    fs::create_directories(root_ + "/xdg/norvale/smartcard");
    fs::create_directories(root_ + "/nssdb");
    // An empty certificate database, so a certificate-store key gets as
    // far as the certificate lookup; without certutil the store cannot be
    // opened (21).
    if (std::system(("certutil -N -d sql:" + root_ + "/nssdb --empty-password >/dev/null 2>&1")
                        .c_str()) != 0)
      std::fprintf(stderr, "page_env: no certificate database (certutil failed)\n");
    fs::create_directories(root_ + "/files");
    Write(root_ + "/xdg/norvale/smartcard/components.conf",
          "GemPCKey USB=1\nGemPCTwin USB=1\n"
          "PCSC Library=" + root_ + "/none/libpcsclite.so.1\n"
          "PKCS11 Module=" + root_ + "/none/pkcs11.so\n"
          "GPK PKCS11 Module=" + root_ + "/none/gpk.so\n");
    Write(EmptyFile(), "");
#ifdef QUENTA_FUZZ_SEED_KEY
    std::error_code ignored;
    fs::copy_file(QUENTA_FUZZ_SEED_KEY, SeedKeyFile(), ignored);
#endif
    ::setenv("HOME", (root_ + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ + "/home/.config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (root_ + "/xdg").c_str(), 1);
    ::setenv("QUENTA_NSS_DB", ("sql:" + root_ + "/nssdb").c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    keysFile_ = root_ + "/home/.config/norvale/quenta/keys.conf";
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Get().root_, ignored);
    });
  }

  static void Write(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    if (!text.empty()) FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), f) == text.size());
    FUZZ_CHECK(std::fclose(f) == 0);
  }

  std::string root_;
  std::string keysFile_;
};

// One thing the user does in a dialog.
struct DialogStep {
  enum Action : std::uint8_t {
    kCloseBox, kEscape, kEnter, kTypeText, kTypeSeedPassword, kClick, kChoose, kSelectRow, kTap,
    kActionCount,
  };
  Action action = kCloseBox;
  std::uint8_t which = 0;   // the n-th control of the kind the action needs
  std::uint8_t index = 0;   // item, row or coordinate
  std::string text;         // kTypeText
};
using DialogScript = std::vector<DialogStep>;

// Up to three steps; the text is read only for the steps that type it.
inline DialogScript ReadDialogScript(InputReader& in) {
  DialogScript script;
  const int steps = 1 + in.Byte() % 3;
  for (int i = 0; i < steps; ++i) {
    DialogStep step;
    step.action = static_cast<DialogStep::Action>(in.Byte() % DialogStep::kActionCount);
    step.which = in.Byte();
    step.index = in.Byte();
    if (step.action == DialogStep::kTypeText) step.text = in.ShortString();
    script.push_back(std::move(step));
  }
  return script;
}

class FuzzUi : public quenta::IUserInterface {
 public:
  FuzzUi() { previous_ = quenta::SetCurrentUi(this); }
  ~FuzzUi() override { quenta::SetCurrentUi(previous_); }
  FuzzUi(const FuzzUi&) = delete;
  FuzzUi& operator=(const FuzzUi&) = delete;

  enum FileAnswer { kFileCancel, kFileSeedKey, kFileEmpty, kFileMissing, kFileDirectory, kFileAnswerCount };

  // How the user answers, for the calls that follow.
  bool acceptMessages = false;   // OK / Yes rather than Cancel / No
  FileAnswer file = kFileCancel;
  int printOutcome = quenta::kPrintCancelled;
  std::deque<DialogScript> scripts;  // one per dialog, in the order they open
  DialogScript everyDialog;          // for each dialog once the queue is empty

  // Settings and scripts from the input: one settings byte, then as many
  // scripts as it asks for.
  void ReadAnswers(InputReader& in) {
    const std::uint8_t settings = in.Byte();
    acceptMessages = settings & 1;
    file = static_cast<FileAnswer>(((settings >> 1) & 7) % kFileAnswerCount);
    printOutcome = (settings & 0x10) ? quenta::kPrintDone : quenta::kPrintCancelled;
    scripts.clear();
    for (int n = (settings >> 5) & 3; n > 0; --n) scripts.push_back(ReadDialogScript(in));
    everyDialog.clear();
    if (settings & 0x80) everyDialog = ReadDialogScript(in);
  }

  int OpenDialogs() const { return open_; }
  int DialogsRun() const { return run_; }

  int ShowMessage(const quenta::MessageRequest& r) override {
    switch (r.buttons) {
      case quenta::MsgButtons::kOk: return quenta::kIdOk;
      case quenta::MsgButtons::kOkCancel: return acceptMessages ? quenta::kIdOk : quenta::kIdCancel;
      case quenta::MsgButtons::kYesNo: return acceptMessages ? quenta::kIdYes : quenta::kIdNo;
    }
    return quenta::kIdCancel;
  }

  bool ChooseFileToOpen(const quenta::OpenFileRequest&, std::string& path) override {
    const PageEnvironment& env = PageEnvironment::Get();
    switch (file) {
      case kFileCancel: case kFileAnswerCount: return false;
      case kFileSeedKey: path = env.SeedKeyFile(); return true;
      case kFileEmpty: path = env.EmptyFile(); return true;
      case kFileMissing: path = env.MissingFile(); return true;
      case kFileDirectory: path = env.Directory(); return true;
    }
    return false;
  }

  int RunDialog(quenta::CDialogLogic& logic) override {
    // A dialog that opens dialogs that open dialogs: refuse, as an
    // interface that cannot show one does.
    if (open_ >= kMaxNesting) return quenta::kIdCancel;
    const quenta::DialogTemplate& t = logic.PrepareTemplate();
    quenta_test::ScriptedDialog dialog(logic, t);
    ++open_;
    ++run_;
    dialog.Start();
    DialogScript script = everyDialog;
    if (!scripts.empty()) {
      script = std::move(scripts.front());
      scripts.pop_front();
    }
    for (const DialogStep& step : script) {
      if (dialog.Ended()) break;
      Perform(dialog, step);
    }
    if (!dialog.Ended()) dialog.CloseBox();
    if (!dialog.Ended()) dialog.ForceEnd(quenta::kIdCancel);
    const int end = dialog.EndValue();
    dialog.Finish();
    --open_;
    return end;
  }

  int PrintPage(const quenta::PrintRequest&) override { return printOutcome; }

 private:
  static constexpr int kMaxNesting = 4;

  // The id of the n-th control (counting round) of one of the kinds, or
  // kIdcStatic when the dialog has none.
  static int NthControl(const quenta_test::ScriptedDialog& d, int n,
                        std::initializer_list<quenta::ControlKind> kinds) {
    std::vector<int> ids;
    for (const quenta::ControlDef& c : d.Template().controls) {
      if (c.id == quenta::kIdcStatic) continue;
      for (quenta::ControlKind k : kinds)
        if (c.kind == k) ids.push_back(c.id);
    }
    return ids.empty() ? quenta::kIdcStatic : ids[static_cast<std::size_t>(n) % ids.size()];
  }

  static void Perform(quenta_test::ScriptedDialog& d, const DialogStep& step) {
    using quenta::ControlKind;
    switch (step.action) {
      case DialogStep::kCloseBox: d.CloseBox(); break;
      case DialogStep::kEscape: d.PressEscape(); break;
      case DialogStep::kEnter: d.PressEnter(); break;
      case DialogStep::kTypeText:
      case DialogStep::kTypeSeedPassword: {
        const int id = NthControl(d, step.which, {ControlKind::kEdit});
        if (id == quenta::kIdcStatic) break;
        d.Replace(id, step.action == DialogStep::kTypeText ? std::string_view(step.text)
                                                           : std::string_view(kSeedKeyPassword));
        if (step.index & 1) d.PressEnter();
        break;
      }
      case DialogStep::kClick: {
        const int id = NthControl(d, step.which,
                                  {ControlKind::kPushButton, ControlKind::kIconButton,
                                   ControlKind::kRadioButton, ControlKind::kCheckBox});
        if (id != quenta::kIdcStatic) d.Click(id);
        break;
      }
      case DialogStep::kChoose: {
        const int id = NthControl(d, step.which, {ControlKind::kDropDownList});
        if (id == quenta::kIdcStatic) break;
        const std::size_t items = d.Items(id).size();
        if (items) d.Choose(id, static_cast<int>(step.index % items));
        break;
      }
      case DialogStep::kSelectRow: {
        const int id = NthControl(d, step.which, {ControlKind::kListView});
        if (id == quenta::kIdcStatic) break;
        if (step.index & 0x80) d.Activate(id, step.index & 0x7F);
        else d.SelectRows(id, {step.index});
        break;
      }
      case DialogStep::kTap: {
        const quenta::Size size = d.ClientSize();
        d.Tap(step.which * size.width / 256, step.index * size.height / 256);
        break;
      }
      case DialogStep::kActionCount: break;
    }
  }

  quenta::IUserInterface* previous_ = nullptr;
  int open_ = 0;
  int run_ = 0;
};

}  // namespace quenta_fuzz
