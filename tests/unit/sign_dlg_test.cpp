// The sign dialog's logic, run headlessly against the scripted view: the
// key list, the fields that follow the key, the layouts and their pixel
// arithmetic, the order views, the sign button's outcomes and the silent
// path, with real keys where a signature is made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogs/password_dlg.h"
#include "engine/keys_storage.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "signing/sign_dlg.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_support.h"
#include "tests/unit/sign_test_support.h"

namespace {

using namespace quenta;
using quenta_test::AsString;
using quenta_test::kSignKeyPassword;
using quenta_test::MachineComponents;
using quenta_test::ScopedEnv;
using quenta_test::ScriptedDialog;
using quenta_test::ScriptedUi;
using quenta_test::SignKey;
using quenta_test::TempDir;
using quenta_test::ToHex;

using D = CSignDlg;

constexpr char kOrder[] = "1:Kwota:100|";

class SignDialog : public ::testing::Test {
 protected:
  SignDialog() : config_("XDG_CONFIG_HOME", home_.path()) {
    SelectLanguage(0);
    components_.Set(true, true);
  }
  ~SignDialog() override { SelectLanguage(0); }
  void SetUp() override { ASSERT_TRUE(keys().ok) << "test keys could not be made"; }

  static const quenta_test::SignKeyPair& keys() { return quenta_test::SignKeyPair::Get(); }

  // A key entry; kind 0 entries carry key a, kind 1 entries expect key a's file.
  void Add(const std::string& name, int kind, const std::string& label = "") {
    const std::string l = label.empty() ? name : label;
    std::string data = "00112233";
    if (kind == kKindBankRepository) data = keys().a.RepositoryData();
    if (kind == kKindFile) data = keys().a.ownDigest;
    ASSERT_EQ(store_.SetKey(name.c_str(), ToHex(l).c_str(), data.c_str(),
                            static_cast<uint8_t>(kind)),
              kOk);
  }
  std::string Describe(const std::string& name) { return store_.DescribeKey(*store_.FindKey(name.c_str())); }

  // An order dialog prepared as the engine prepares it for Sign.
  void PrepareOrder(CSignDlg& d, const std::string& order, const char* allowed,
                    const char* preferred = "") {
    d.SetDataIsDirect(0);
    ASSERT_EQ(d.PrepareSignData(&store_, ToHex(order).c_str(), allowed, preferred), kOk);
    d.SetSilent(0);
    d.SetOperation(kOpSignSha256);
  }
  // A login dialog prepared as the engine prepares it for EncryptRand.
  void PrepareLogin(CSignDlg& d, const std::string& data, const char* allowed) {
    ASSERT_EQ(d.PrepareSignData(&store_, "", allowed, ""), kOk);
    d.SetSignData(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    d.SetSilent(0);
    d.SetOperation(kOpRawPrivate);
  }
  int Run(CSignDlg& d, quenta_test::DialogScript script) {
    ui_.scripts.push_back(std::move(script));
    return d.DoModal();
  }
  bool Verifies(const char* digest, const std::string& data, const CSignDlg& d,
                const SignKey& key) {
    return quenta_test::VerifiesWith(key.pub, digest, data, AsString(d.Output()), work_.path());
  }

  TempDir home_, work_;
  ScopedEnv config_;
  MachineComponents components_;
  ScriptedUi ui_;
  CKeysStorage store_;
};

// ---------------------------------------------------------------- the key list

TEST_F(SignDialog, KeyListOffersTheAllowedKeysInEngineOrderAndSelectsThePreferredOne) {
  Add("K2", 0);
  Add("K1", 0);
  Add("K3", 0);
  Add("K", 0);
  struct Case {
    const char* allowed;
    const char* preferred;
    std::vector<std::string> items;
    int selectedItem;
    std::string selectedKey;
  };
  const Case cases[] = {
      {"|K1|", "", {"K1"}, 0, "K1"},
      {"|K1|K2|", "K2", {"K2", "K1"}, 0, "K2"},
      {"|K1|K3|", "K3", {"K1", "K3"}, 1, "K3"},
      {"|K1|K2|", "K9", {"K2", "K1"}, 0, "K2"},  // not listed: the first item
      {"|K1|", "K2", {"K1"}, 0, "K1"},           // preferred but not allowed
      {"K1|K3", "", {}, -1, ""},                 // names need a bar on each side
      {"|K1x|K|", "", {"K"}, 0, "K"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allowed);
    CSignDlg d;
    PrepareOrder(d, kOrder, c.allowed, c.preferred);
    std::vector<std::string> described;
    for (const std::string& n : c.items) described.push_back(Describe(n));
    Run(d, [&](ScriptedDialog& v) {
      EXPECT_EQ(v.Items(D::kIdKeyList), described);
      EXPECT_EQ(v.Control(D::kIdKeyList)->curSel, c.selectedItem);
      v.PressEscape();
    });
    if (c.selectedKey.empty()) {
      EXPECT_EQ(d.SelectedKeyIndex(), -1);
    } else {
      ASSERT_GE(d.SelectedKeyIndex(), 0);
      EXPECT_EQ(store_.Keys()[d.SelectedKeyIndex()]->name, c.selectedKey);
    }
  }
}

TEST_F(SignDialog, DescriptionsNameTheLabelAndTheLocation) {
  Add("r", 0, "Bank key");
  Add("f", 1, "mykey");
  Add("c", 2, "Card key");
  Add("u", 11, "Token key");
  CSignDlg d;
  PrepareOrder(d, kOrder, "|r|f|c|u|");
  Run(d, [&](ScriptedDialog& v) {
    EXPECT_EQ(v.Items(D::kIdKeyList),
              (std::vector<std::string>{"Bank key (" + LoadText(324) + ")",
                                        "mykey (" + LoadText(699) + ")",
                                        "Card key (" + LoadText(674) + ")",
                                        "Token key (" + LoadText(676) + ")"}));
    v.PressEscape();
  });
}

TEST_F(SignDialog, WithoutAnyOfferedKeyTheSignButtonDoesNothingAndCancelEnds) {
  Add("K1", 0);
  CSignDlg d;
  PrepareOrder(d, kOrder, "");
  const int end = Run(d, [&](ScriptedDialog& v) {
    EXPECT_TRUE(v.Items(D::kIdKeyList).empty());
    EXPECT_TRUE(v.Click(kIdcOk));
    EXPECT_TRUE(v.PressEnter());
    EXPECT_FALSE(v.Ended());
    v.PressEscape();
  });
  EXPECT_EQ(end, kIdCancel);
  EXPECT_EQ(d.SelectedKeyIndex(), -1);
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(ui_.dialogs.size(), 1u);
}

TEST_F(SignDialog, PasswordFieldFollowsTheKindOfTheChosenKey) {
  Add("card", 2);
  Add("file", 1);
  Add("token", 11);
  store_.SetSignDialogType(1);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|card|file|token|", "card");
  Run(d, [&](ScriptedDialog& v) {
    EXPECT_EQ(v.Text(D::kIdPasswordLabel), "Kod PIN:");
    EXPECT_EQ(v.Limit(D::kIdPassword), 4);
    v.Type(D::kIdPassword, "123456");
    EXPECT_EQ(v.Text(D::kIdPassword), "1234");

    v.Choose(D::kIdKeyList, 1);
    EXPECT_EQ(v.Text(D::kIdPasswordLabel), LoadText(288));
    EXPECT_EQ(v.Limit(D::kIdPassword), 255);
    EXPECT_EQ(v.Text(D::kIdPassword), "1234");  // what was typed stays
    EXPECT_EQ(d.SelectedKeyIndex(), 1);

    v.Choose(D::kIdKeyList, 2);
    EXPECT_EQ(v.Text(D::kIdPasswordLabel), "Kod PIN:");
    EXPECT_EQ(v.Limit(D::kIdPassword), 4);
    v.PressEscape();
  });
}

// ---------------------------------------------------------------- layouts

struct Layout {
  int expand, topLine, group, radios, list, orderLine, keyLabel, keyList, passwordLabel,
      password, keyboard, buttons, clientHeight;
};
constexpr int kHidden = -1;

void ExpectLayout(const ScriptedDialog& v, const Layout& l) {
  auto at = [&](int id, int y, const char* what) {
    if (y == kHidden) {
      EXPECT_FALSE(v.Visible(id)) << what;
    } else {
      EXPECT_TRUE(v.Visible(id)) << what;
      EXPECT_EQ(v.RectOf(id).y, y) << what;
    }
  };
  at(D::kIdExpand, l.expand, "expand button");
  at(D::kIdTopLine, l.topLine, "top line");
  at(D::kIdOrderGroup, l.group, "group");
  at(D::kIdFormattedView, l.radios, "formatted radio");
  at(D::kIdSignedView, l.radios, "signed radio");
  at(D::kIdOrderList, l.list, "list");
  at(D::kIdOrderLine, l.orderLine, "order line");
  at(D::kIdKeyLabel, l.keyLabel, "key label");
  at(D::kIdKeyList, l.keyList, "key list");
  at(D::kIdPasswordLabel, l.passwordLabel, "password label");
  at(D::kIdPassword, l.password, "password");
  at(D::kIdKeyboard, l.keyboard, "keyboard button");
  at(kIdcOk, l.buttons, "sign button");
  at(kIdcCancel, l.buttons, "cancel button");
  at(D::kIdSignIcon, l.buttons, "icon");
  EXPECT_EQ(v.ClientSize().height, l.clientHeight);
  // Only vertical positions change; the width stays.
  EXPECT_EQ(v.ClientSize().width, DluToPixelsX(279));
  EXPECT_EQ(v.RectOf(D::kIdPassword).x, DluToPixelsX(143));
}

// Heights in pixels of the template's controls: expand button 20, radios 20,
// list 205, bevel 13, key list 21, keyboard button 26, buttons 23; the
// scripted frame is 3 pixels, so the window's lower edge lies 6 pixels below
// the buttons, 3 of them inside the client area.
TEST_F(SignDialog, DialogTypeOneOpensCollapsedAndExpandingGrowsTheWindow) {
  Add("K1", 0);
  store_.SetSignDialogType(1);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|K1|");
  Run(d, [&](ScriptedDialog& v) {
    EXPECT_TRUE(d.Collapsed());
    EXPECT_EQ(v.Text(D::kIdExpand), LoadText(300));
    EXPECT_EQ(v.Icon(D::kIdExpand), kIconExpand);
    ExpectLayout(v, {0, DluToPixelsY(3), kHidden, kHidden, kHidden, 24, 47, 44, 78, 81, 75, 111,
                     137});
    EXPECT_FALSE(v.Visible(D::kIdOrderText));
    EXPECT_EQ(v.FocusedControl(), D::kIdPassword);

    v.Click(D::kIdExpand);
    EXPECT_FALSE(d.Collapsed());
    EXPECT_EQ(v.Text(D::kIdExpand), LoadText(303));
    EXPECT_EQ(v.Icon(D::kIdExpand), kIconCollapse);
    ExpectLayout(v, {0, DluToPixelsY(3), 20, 38, 73, 280, 303, 300, 334, 337, 331, 367, 393});
    EXPECT_EQ(v.RectOf(D::kIdOrderText).y, 73);
    EXPECT_FALSE(v.Visible(D::kIdOrderText));

    v.Click(D::kIdExpand);
    ExpectLayout(v, {0, DluToPixelsY(3), kHidden, kHidden, kHidden, 24, 47, 44, 78, 81, 75, 111,
                     137});
    v.PressEscape();
  });
}

TEST_F(SignDialog, DialogTypeZeroShowsTheOrderWithoutExpandButtonOrPasswordRow) {
  Add("K1", 0);
  store_.SetSignDialogType(0);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|K1|");
  Run(d, [&](ScriptedDialog& v) {
    EXPECT_FALSE(d.Collapsed());
    ExpectLayout(v, {kHidden, kHidden, 14, 32, 67, kHidden, 290, 287, kHidden, kHidden, kHidden,
                     318, 344});
    v.PressEscape();
  });
}

TEST_F(SignDialog, CertificateStoreKeyHasNoPasswordRow) {
  Add("K1", 0);
  Add("store", 3);
  store_.SetSignDialogType(2);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|K1|store|", "store");
  Run(d, [&](ScriptedDialog& v) {
    ExpectLayout(v, {0, DluToPixelsY(3), kHidden, kHidden, kHidden, 24, 47, 44, kHidden, kHidden,
                     kHidden, 75, 101});
    v.Choose(D::kIdKeyList, 0);  // a repository key brings the row back
    ExpectLayout(v, {0, DluToPixelsY(3), kHidden, kHidden, kHidden, 24, 47, 44, 78, 81, 75, 111,
                     137});
    v.PressEscape();
  });
}

TEST_F(SignDialog, LoginLayoutShowsTheNoteAndNoOrder) {
  Add("K1", 0);
  for (int type : {1, 0}) {
    SCOPED_TRACE(type);
    store_.SetSignDialogType(type);
    CSignDlg d;
    PrepareLogin(d, "abc", "|K1|");
    Run(d, [&](ScriptedDialog& v) {
      EXPECT_EQ(v.Caption(), "Wyb\xF3r klucza");
      EXPECT_EQ(v.Text(kIdcOk), "OK");
      EXPECT_EQ(v.Text(kIdcCancel), LoadText(294));
      EXPECT_EQ(v.Text(D::kIdKeyLabel), LoadText(544));
      EXPECT_EQ(v.Text(D::kIdLoginNote), LoadText(541));
      EXPECT_TRUE(v.Visible(D::kIdLoginNote));
      EXPECT_EQ(v.RectOf(D::kIdLoginNote).y, 15);
      EXPECT_FALSE(v.Visible(D::kIdOrderText));
      if (type != 0)
        ExpectLayout(v, {kHidden, kHidden, kHidden, kHidden, kHidden, kHidden, 66, 63, 97, 100,
                         94, 130, 156});
      else
        ExpectLayout(v, {kHidden, kHidden, kHidden, kHidden, kHidden, kHidden, 66, 63, kHidden,
                         kHidden, kHidden, 94, 120});
      v.PressEscape();
    });
  }
}

TEST_F(SignDialog, OrderLayoutTextsByOperation) {
  Add("K1", 0);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|K1|");
  Run(d, [&](ScriptedDialog& v) {
    EXPECT_EQ(v.Caption(), LoadText(297));
    EXPECT_EQ(v.Text(kIdcOk), "&Podpisz");
    EXPECT_EQ(v.Text(D::kIdKeyLabel), LoadText(285));
    EXPECT_EQ(v.Text(D::kIdPasswordLabel), LoadText(288));
    EXPECT_EQ(v.Text(D::kIdOrderGroup), LoadText(306));
    EXPECT_EQ(v.Text(D::kIdFormattedView), LoadText(279));
    EXPECT_EQ(v.Text(D::kIdSignedView), LoadText(282));
    EXPECT_EQ(v.Icon(D::kIdKeyboard), kIconKeyboard);
    EXPECT_TRUE(v.Masked(D::kIdPassword));
    EXPECT_TRUE(v.Topmost());
    EXPECT_FALSE(v.Visible(D::kIdLoginNote));
    EXPECT_FALSE(v.Template().closeBox);
    // Tab order: key list, password, keyboard, sign, cancel.
    const auto& c = v.Template().controls;
    ASSERT_GE(c.size(), 5u);
    EXPECT_EQ((std::vector<int>{c[0].id, c[1].id, c[2].id, c[3].id, c[4].id}),
              (std::vector<int>{D::kIdKeyList, D::kIdPassword, D::kIdKeyboard, kIdcOk, kIdcCancel}));
    v.PressEscape();
  });
}

// ---------------------------------------------------------------- the order views

TEST_F(SignDialog, ListRowsComeFromTheParsedOrder) {
  Add("K1", 0);
  store_.SetSignDialogType(0);
  CSignDlg d;
  PrepareOrder(d, "_ZLECENIE_|1:A:x|_IDENTYFIKACJA2:Opis:line one\r\nline two|", "|K1|");
  Run(d, [&](ScriptedDialog& v) {
    EXPECT_EQ(v.Headings(D::kIdOrderList), (std::vector<std::string>{LoadText(231), LoadText(234)}));
    EXPECT_EQ(v.Control(D::kIdOrderList)->columns[0].second, 398 / 2 - 2);
    EXPECT_EQ(v.Control(D::kIdOrderList)->columns[1].second, 398 / 2 - 2);
    const std::vector<std::vector<std::string>> rows = {
        {"ZLECENIE 1", ""}, {"A", "x"}, {"Identyfikacja", ""}, {"Opis", "line one"}, {"", "line two"}};
    ASSERT_EQ(v.RowCount(D::kIdOrderList), static_cast<int>(rows.size()));
    for (int r = 0; r < static_cast<int>(rows.size()); ++r)
      for (int c = 0; c < 2; ++c) EXPECT_EQ(v.CellText(D::kIdOrderList, r, c), rows[r][c]) << r;
    v.PressEscape();
  });
}

TEST_F(SignDialog, SignedViewShowsTheWholeTextAndFormattedViewTheListAgain) {
  Add("K1", 0);
  store_.SetSignDialogType(0);
  const std::string listOrder = "_ZLECENIE_|1:A:x|";
  CSignDlg d;
  PrepareOrder(d, listOrder, "|K1|");
  Run(d, [&](ScriptedDialog& v) {
    EXPECT_TRUE(v.Visible(D::kIdOrderList));
    EXPECT_FALSE(v.Visible(D::kIdOrderText));
    EXPECT_TRUE(v.IsChecked(D::kIdFormattedView));
    v.Click(D::kIdSignedView);
    EXPECT_TRUE(d.SignedViewSelected());
    EXPECT_FALSE(d.FormattedViewSelected());
    EXPECT_FALSE(v.IsChecked(D::kIdFormattedView));
    EXPECT_TRUE(v.Visible(D::kIdOrderText));
    EXPECT_FALSE(v.Visible(D::kIdOrderList));
    EXPECT_EQ(v.Text(D::kIdOrderText), listOrder);
    v.Click(D::kIdFormattedView);
    EXPECT_TRUE(d.FormattedViewSelected());
    EXPECT_TRUE(v.Visible(D::kIdOrderList));
    EXPECT_FALSE(v.Visible(D::kIdOrderText));
    v.PressEscape();
  });

  const std::string multi = "MULTILINE|1:T:Hello |2:U:world|_ZLECENIE_|";
  CSignDlg m;
  PrepareOrder(m, multi, "|K1|");
  Run(m, [&](ScriptedDialog& v) {
    EXPECT_TRUE(m.MultiLine());
    EXPECT_FALSE(v.Visible(D::kIdOrderList));
    EXPECT_TRUE(v.Visible(D::kIdOrderText));
    EXPECT_EQ(v.Text(D::kIdOrderText), "Hello world-");
    v.Click(D::kIdSignedView);
    EXPECT_EQ(v.Text(D::kIdOrderText), multi);
    EXPECT_FALSE(v.Visible(D::kIdOrderList));
    v.Click(D::kIdFormattedView);
    EXPECT_EQ(v.Text(D::kIdOrderText), "Hello world-");
    v.PressEscape();
  });
}

// The text box is 398 x 20 pixels with a 2-pixel border; the scripted font
// is 6 pixels a character and 13 a line; the order area is 205 high.
TEST_F(SignDialog, TextBoxScrollBarsAndHeightFollowTheText) {
  Add("K1", 0);
  store_.SetSignDialogType(0);
  auto lines = [](int n, int width) {
    std::string s;
    for (int i = 0; i < n; ++i) {
      if (i) s += "\n";
      s += std::string(width, 'x');
    }
    return s;
  };
  struct Case {
    const char* what;
    std::string order;
    bool h, v;
    int boxHeight;
  };
  const Case cases[] = {
      {"one short line", kOrder, false, false, 20},
      {"one line just fitting", "1:K:" + std::string(60, 'v') + "|", false, false, 20},
      {"one line too wide", "1:K:" + std::string(61, 'v') + "|", true, false, 33},
      {"fifteen lines", lines(15, 10), false, false, 205},
      {"sixteen lines", lines(16, 10), false, true, 205},
      {"sixteen wide lines", lines(16, 70), true, true, 205},
      {"multi-line, one line", "MULTILINE|1:T:x|", false, false, 205},
      {"text after a zero byte is not measured",
       std::string("1:K:v|") + '\0' + std::string(200, 'w'), false, false, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CSignDlg d;
    PrepareOrder(d, c.order, "|K1|");
    Run(d, [&](ScriptedDialog& v) {
      EXPECT_EQ(d.HorizontalScroll(), c.h);
      EXPECT_EQ(d.VerticalScroll(), c.v);
      EXPECT_EQ(v.Control(D::kIdOrderText)->hScroll, c.h);
      EXPECT_EQ(v.Control(D::kIdOrderText)->vScroll, c.v);
      EXPECT_EQ(d.BoxHeight(), c.boxHeight);
      EXPECT_EQ(v.RectOf(D::kIdOrderText).height, c.boxHeight);
      EXPECT_EQ(v.RectOf(D::kIdOrderText).width, 398);
      v.PressEscape();
    });
  }
}

TEST_F(SignDialog, PreparingDecodesTheOrderOrRefusesIt) {
  struct Case { const char* hex; int rc; std::string bytes; };
  const Case cases[] = {
      {"313A4B776F74613A3130307C", kOk, "1:Kwota:100|"},
      {"313a4b776f74613a3130307c", kOk, "1:Kwota:100|"},
      {"", kErrArgument, ""},
      {"313", kErrArgument, ""},
      {"3G", kErrArgument, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    CSignDlg d;
    d.SetDataIsDirect(0);
    EXPECT_EQ(d.PrepareSignData(&store_, c.hex, "|K|", "K"), c.rc);
    EXPECT_EQ(d.DataLength(), c.bytes.size());
  }
  // Direct data: nothing is decoded, whatever the text.
  CSignDlg direct;
  EXPECT_EQ(direct.PrepareSignData(&store_, "not hex", "|K|", "K"), kOk);
  EXPECT_EQ(direct.DataLength(), 0u);
  // The dialog type comes from the engine.
  store_.SetSignDialogType(2);
  EXPECT_EQ(direct.PrepareSignData(&store_, "", "", ""), kOk);
  EXPECT_EQ(direct.DialogType(), 2);
}

// ---------------------------------------------------------------- signing

TEST_F(SignDialog, TypedPasswordSignsTheOrderBytes) {
  Add("K1", 0);
  store_.SetSignDialogType(1);
  const std::string order = std::string("1:Kwota:100|") + '\0' + "hidden";
  CSignDlg d;
  PrepareOrder(d, order, "|K1|", "K1");
  const int end = Run(d, [&](ScriptedDialog& v) {
    v.Type(D::kIdPassword, kSignKeyPassword);
    v.PressEnter();
  });
  EXPECT_EQ(end, kIdOk);
  EXPECT_EQ(d.Result(), kOk);
  EXPECT_EQ(d.ChosenKeyName(), "K1");
  EXPECT_TRUE(Verifies("sha256", order, d, keys().a));  // all bytes, the hidden ones too
  EXPECT_EQ(store_.CurrentKey(), nullptr);             // released
  EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(SignDialog, DialogTypeZeroAsksThePasswordInThePasswordDialog) {
  Add("K1", 0, "Main key");
  store_.SetSignDialogType(0);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|K1|");
  bool openAfterCancel = false;
  const int end = Run(d, [&](ScriptedDialog& v) {
    // The password dialog cancelled: 8, the sign dialog stays open.
    ui_.scripts.push_back([](ScriptedDialog& p) { p.PressEscape(); });
    v.Click(kIdcOk);
    openAfterCancel = !v.Ended();
    EXPECT_EQ(d.Result(), kErrCancelled);
    ui_.scripts.push_back([](ScriptedDialog& p) {
      EXPECT_EQ(p.ResourceId(), CPasswordDialog::kResourceId);
      p.Type(CPasswordDialog::kEditId, kSignKeyPassword);
      p.Click(kIdcOk);
    });
    v.Click(kIdcOk);
  });
  EXPECT_TRUE(openAfterCancel);
  EXPECT_EQ(end, kIdOk);
  EXPECT_EQ(d.Result(), kOk);
  ASSERT_EQ(ui_.dialogs.size(), 3u);
  EXPECT_EQ(ui_.dialogs[1].resourceId, CPasswordDialog::kResourceId);
  EXPECT_TRUE(Verifies("sha256", kOrder, d, keys().a));
}

TEST_F(SignDialog, WrongPasswordEmptiesTheFieldKeepsTheKeyAndTheSelection) {
  Add("other", 0);
  Add("F", 1, "a");  // key a's file, asked for once
  store_.SetSignDialogType(1);
  ui_.files.push_back(keys().a.prvFile);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|other|F|", "F");
  const int end = Run(d, [&](ScriptedDialog& v) {
    v.Type(D::kIdPassword, "wrong");
    v.Click(kIdcOk);
    EXPECT_FALSE(v.Ended());
    EXPECT_EQ(d.Result(), kErrBadPassword);
    EXPECT_EQ(v.Text(D::kIdPassword), "");
    EXPECT_EQ(v.FocusedControl(), D::kIdPassword);
    EXPECT_EQ(v.Control(D::kIdKeyList)->curSel, 1);
    EXPECT_TRUE(d.KeyPrepared());
    v.Type(D::kIdPassword, kSignKeyPassword);
    v.Click(kIdcOk);
  });
  EXPECT_EQ(end, kIdOk);
  EXPECT_EQ(d.Result(), kOk);
  // The file was asked for at the first attempt only: the second did not
  // select the key again.
  EXPECT_EQ(ui_.fileRequests.size(), 1u);
  EXPECT_EQ(ui_.MessageIds(), (std::vector<int>{553, 571}));
  EXPECT_EQ(store_.FindKey("F")->failures, 0);
  EXPECT_TRUE(Verifies("sha256", kOrder, d, keys().a));
}

TEST_F(SignDialog, KeyFileHoldingAnotherKeyIsAskedForAgainWithinTheSamePress) {
  Add("F", 1, "a");
  store_.SetKeyLocation("F", keys().b.prvFile.c_str());  // remembered, but key b's file
  store_.SetSignDialogType(1);
  ui_.files.push_back(keys().a.prvFile);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|F|", "F");
  int pressesNeeded = 0;
  const int end = Run(d, [&](ScriptedDialog& v) {
    v.Type(D::kIdPassword, kSignKeyPassword);
    v.Click(kIdcOk);
    pressesNeeded = 1;
    if (!v.Ended()) {
      pressesNeeded = 2;
      v.Click(kIdcOk);
    }
  });
  EXPECT_EQ(pressesNeeded, 1);
  EXPECT_EQ(end, kIdOk);
  EXPECT_EQ(d.Result(), kOk);
  EXPECT_EQ(ui_.fileRequests.size(), 1u);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{553});
  EXPECT_TRUE(Verifies("sha256", kOrder, d, keys().a));
  std::string location;
  EXPECT_EQ(store_.GetKeyLocation("F", location), kOk);
  EXPECT_EQ(location, ToHex(keys().a.prvFile) + "00");
}

TEST_F(SignDialog, MissingDeviceSupportKeepsTheDialogOpen) {
  Add("card", 2);
  Add("token", 11);
  struct Case { const char* key; bool usb, card; int text; };
  const Case cases[] = {{"card", true, false, 730}, {"token", false, true, 732}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    components_.Set(c.usb, c.card);
    ui_.messages.clear();
    CSignDlg d;
    PrepareOrder(d, kOrder, "|card|token|", c.key);
    const int end = Run(d, [&](ScriptedDialog& v) {
      v.Type(D::kIdPassword, "1234");
      v.Click(kIdcOk);
      EXPECT_FALSE(v.Ended());
      v.PressEscape();
    });
    EXPECT_EQ(end, kIdCancel);
    ASSERT_EQ(ui_.MessageIds(), std::vector<int>{c.text});
    EXPECT_EQ(ui_.messages[0].caption, LoadText(kTitleTextId));
    EXPECT_EQ(ui_.messages[0].icon, MsgIcon::kError);
    EXPECT_EQ(store_.CurrentKey(), nullptr);  // nothing was selected
  }
}

TEST_F(SignDialog, KeyboardTextReplacesThePassword) {
  Add("K1", 0);
  store_.SetSignDialogType(1);
  CSignDlg d;
  PrepareOrder(d, kOrder, "|K1|");
  Run(d, [&](ScriptedDialog& v) {
    v.Type(D::kIdPassword, "typed");
    ui_.scripts.push_back([](ScriptedDialog& k) {
      auto tapLabel = [&k](const std::string& label) {
        for (const auto& op : k.Surface()->ops)
          if (op.kind == quenta_test::DrawOp::kText && op.text == label) {
            k.Tap(op.x + 2, op.y + 5);
            return true;
          }
        return false;
      };
      ASSERT_NE(k.Surface(), nullptr);
      EXPECT_TRUE(tapLabel("q") || tapLabel("Q"));
      EXPECT_TRUE(tapLabel("Enter"));
    });
    v.Click(D::kIdKeyboard);
    EXPECT_EQ(v.Text(D::kIdPassword), "q");
    // A cancelled keyboard changes nothing.
    ui_.scripts.push_back([](ScriptedDialog& k) { k.PressEscape(); });
    v.Click(D::kIdKeyboard);
    EXPECT_EQ(v.Text(D::kIdPassword), "q");
    v.PressEscape();
  });
  ASSERT_EQ(ui_.dialogs.size(), 3u);
  EXPECT_EQ(ui_.dialogs[1].resourceId, 202);
}

// ---------------------------------------------------------------- the silent path

TEST_F(SignDialog, SilentPathSignsWithThePreferredKeyOrRefusesAnUnknownOne) {
  Add("K1", 0);
  Add("K2", 0);
  ui_.scripts.push_back([](ScriptedDialog& p) {
    p.Type(CPasswordDialog::kEditId, kSignKeyPassword);
    p.Click(kIdcOk);
  });
  CSignDlg d;
  d.SetDataIsDirect(0);
  ASSERT_EQ(d.PrepareSignData(&store_, ToHex(kOrder).c_str(), "", "K2"), kOk);
  d.SetSilent(1);
  d.SetOperation(kOpSignSha1);
  d.SelectPreferredKey();
  EXPECT_EQ(d.SelectedKeyIndex(), 1);
  EXPECT_EQ(d.PerformSigning(), kOk);
  EXPECT_EQ(d.Result(), kOk);
  EXPECT_EQ(d.ChosenKeyName(), "K2");
  EXPECT_TRUE(Verifies("sha1", kOrder, d, keys().a));
  ASSERT_EQ(ui_.dialogs.size(), 1u);  // only the password dialog
  EXPECT_EQ(ui_.dialogs[0].resourceId, CPasswordDialog::kResourceId);

  CSignDlg unknown;
  unknown.SetDataIsDirect(0);
  ASSERT_EQ(unknown.PrepareSignData(&store_, ToHex(kOrder).c_str(), "", "K9"), kOk);
  unknown.SetSilent(1);
  unknown.SetOperation(kOpSignSha1);
  unknown.SelectPreferredKey();
  EXPECT_EQ(unknown.PerformSigning(), kErrKeyKindUnusable);
  EXPECT_EQ(unknown.Result(), kErrKeyKindUnusable);
  EXPECT_EQ(unknown.ChosenKeyName(), "");
  EXPECT_EQ(ui_.dialogs.size(), 1u);
  EXPECT_TRUE(ui_.messages.empty());

  // No data: 1 before anything else.
  CSignDlg empty;
  empty.PrepareSignData(&store_, "", "", "K1");
  empty.SelectPreferredKey();
  EXPECT_EQ(empty.PerformSigning(), kErrArgument);
}

}  // namespace
