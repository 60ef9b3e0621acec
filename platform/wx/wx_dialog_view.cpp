#include "platform/wx/wx_dialog_view.h"

#include <algorithm>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/clipbrd.h>
#include <wx/dcclient.h>
#include <wx/fontenum.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/statline.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "platform/wx/gtk_glue.h"
#include "platform/wx/wx_icons.h"
#include "platform/wx/wx_text.h"

namespace quenta {

namespace {

std::vector<WxDialogView*> g_running;

// GTK's default theme pads entries and buttons to well over the heights the
// dialog layouts give them; this brings them down to what the layout expects.
const char kCompactCss[] =
    "* { min-height: 0; }\n"
    "entry { padding-top: 0; padding-bottom: 0; }\n"
    "button { min-width: 0; padding: 0 4px; }\n"
    "combobox button { padding-top: 0; padding-bottom: 0; }\n";

void* CompactProvider() {
  static void* provider = [] {
    void* p = gtk_css_provider_new();
    gtk_css_provider_load_from_data(p, kCompactCss, -1, nullptr);
    return p;
  }();
  return provider;
}

void ApplyCompact(GtkWidget* widget, void*) {
  if (!widget) return;
  gtk_style_context_add_provider(gtk_widget_get_style_context(widget), CompactProvider(),
                                 gtk::kStyleProviderPriorityApplication);
  if (gtk::IsContainer(widget)) gtk_container_forall(widget, ApplyCompact, nullptr);
}

void SetEntryMask(wxWindow* w, bool masked) {
  GtkWidget* h = w ? w->GetHandle() : nullptr;
  if (!gtk::IsEntry(h)) return;
  gtk_entry_set_invisible_char(h, '*');
  gtk_entry_set_visibility(h, masked ? 0 : 1);
}

bool IsEditKind(ControlKind k) { return k == ControlKind::kEdit || k == ControlKind::kTextBox; }

// Draws into the off-screen bitmap.
class WxDrawSurface : public IDrawSurface {
 public:
  explicit WxDrawSurface(wxMemoryDC& dc) : dc_(dc) { dc_.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT); }
  void Fill(const Rect& r, Rgb c) override {
    dc_.SetPen(*wxTRANSPARENT_PEN);
    dc_.SetBrush(wxBrush(wxColour(c.r, c.g, c.b)));
    dc_.DrawRectangle(r.x, r.y, r.width, r.height);
  }
  void Polyline(const Point* points, std::size_t count, Rgb c, int width) override {
    if (count < 2) return;
    std::vector<wxPoint> pts;
    pts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) pts.emplace_back(points[i].x, points[i].y);
    wxPen pen(wxColour(c.r, c.g, c.b), width);
    pen.SetCap(wxCAP_PROJECTING);
    pen.SetJoin(wxJOIN_MITER);
    dc_.SetPen(pen);
    dc_.DrawLines(static_cast<int>(pts.size()), pts.data());
  }
  void SetFont(const FontDef& f) override {
    // A character height in pixels, as the font is described.
    const double points = f.pixelHeight * 72.0 / std::max(1, dc_.GetPPI().y);
    dc_.SetFont(FontFor(f.face, points, f.bold));
  }
  void Text(int x, int y, std::string_view text, Rgb c) override {
    dc_.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc_.SetTextForeground(wxColour(c.r, c.g, c.b));
    dc_.DrawText(ToWx(text), x, y);
  }

 private:
  wxMemoryDC& dc_;
};

// A report list whose rows the logic supplies.
class VirtualList : public wxListCtrl {
 public:
  VirtualList(wxWindow* parent, long style, const wxPoint& pos, const wxSize& size,
              CDialogLogic& logic, int id)
      : wxListCtrl(parent, wxID_ANY, pos, size, style), logic_(logic), id_(id) {}
  wxString OnGetItemText(long item, long column) const override {
    return ToWx(logic_.DispatchGetItemText(id_, static_cast<int>(item), static_cast<int>(column)));
  }

 private:
  CDialogLogic& logic_;
  int id_;
};

wxPoint ToPoint(const Rect& r) { return wxPoint(r.x, r.y); }
wxSize ToSize(const Rect& r) { return wxSize(std::max(1, r.width), std::max(1, r.height)); }

}  // namespace

wxFont FontFor(const std::string& face, double points, bool bold) {
  std::vector<wxString> candidates;
  if (!face.empty()) {
    candidates.push_back(ToWx(face));
    const std::string suffix = " CE";
    if (face.size() > suffix.size() && face.compare(face.size() - suffix.size(), suffix.size(), suffix) == 0)
      candidates.push_back(ToWx(face.substr(0, face.size() - suffix.size())));
  }
  candidates.push_back(wxT("Liberation Sans"));
  candidates.push_back(wxT("DejaVu Sans"));
  wxString chosen;
  for (const wxString& c : candidates) {
    if (wxFontEnumerator::IsValidFacename(c)) {
      chosen = c;
      break;
    }
  }
  wxFontInfo info(points);
  if (!chosen.empty()) info.FaceName(chosen);
  else info.Family(wxFONTFAMILY_SWISS);
  if (bold) info.Bold();
  return wxFont(info);
}

WxDialogView::WxDialogView(wxWindow* parent, CDialogLogic& logic, const DialogTemplate& t)
    : wxDialog(parent, wxID_ANY, ToWx(t.caption), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | (t.closeBox ? (wxSYSTEM_MENU | wxCLOSE_BOX) : 0)),
      logic_(logic),
      resourceId_(t.resourceId),
      ownerDrawn_(t.ownerDrawn) {
  SetFont(FontFor(t.fontFace, t.fontPoints));
  if (ownerDrawn_) SetBackgroundStyle(wxBG_STYLE_PAINT);
  wxDialog::SetClientSize(t.clientSize.width, t.clientSize.height);
  CreateControls(t);

  Bind(wxEVT_CHAR_HOOK, &WxDialogView::OnCharHook, this);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& e) {
    if (e.CanVeto()) e.Veto();
    logic_.DispatchClose();
  });
  Bind(wxEVT_TIMER, [this](wxTimerEvent& e) {
    if (timers_.count(e.GetId())) logic_.DispatchTimer(e.GetId());
  });
  if (ownerDrawn_) {
    Bind(wxEVT_PAINT, &WxDialogView::OnPaint, this);
    Bind(wxEVT_LEFT_DOWN, &WxDialogView::OnMouse, this);
    Bind(wxEVT_LEFT_UP, &WxDialogView::OnMouse, this);
    Bind(wxEVT_LEFT_DCLICK, &WxDialogView::OnMouse, this);
    Bind(wxEVT_MOTION, &WxDialogView::OnMouse, this);
    Bind(wxEVT_LEAVE_WINDOW, &WxDialogView::OnMouse, this);
  }
}

WxDialogView::~WxDialogView() {
  for (auto& t : timers_) t.second->Stop();
  timers_.clear();
  if (memoryDc_.IsOk()) memoryDc_.SelectObject(wxNullBitmap);
}

WxDialogView* WxDialogView::Innermost() { return g_running.empty() ? nullptr : g_running.back(); }

void WxDialogView::CreateControls(const DialogTemplate& t) {
  controls_.reserve(t.controls.size());
  for (const ControlDef& def : t.controls) {
    Control c;
    c.id = def.id;
    c.kind = def.kind;
    c.style = def.style;
    c.masked = (def.style & kStylePassword) != 0;
    c.window = CreateControl(def, c);
    if (!c.window) continue;
    ApplyCompact(c.window->GetHandle(), nullptr);
    if (c.masked) SetEntryMask(c.window, true);
    if ((def.style & kStyleHidden) != 0) c.window->Hide();
    if ((def.style & kStyleDisabled) != 0) c.window->Disable();
    controls_.push_back(c);
  }
  for (Control& c : controls_) BindEvents(c);
}

wxWindow* WxDialogView::CreateControl(const ControlDef& def, Control& c) {
  const wxString label = ToWx(def.text);
  const wxPoint pos = ToPoint(def.rect);
  const wxSize size = ToSize(def.rect);
  switch (def.kind) {
    case ControlKind::kStatic: {
      auto* w = new wxStaticText(this, wxID_ANY, label, pos, size, wxST_NO_AUTORESIZE);
      if (GtkWidget* h = w->GetHandle(); gtk::IsLabel(h)) {
        gtk_label_set_line_wrap(h, 1);
        gtk_label_set_line_wrap_mode(h, gtk::kPangoWrapWordChar);
        gtk_label_set_xalign(h, 0.0f);
        gtk_label_set_yalign(h, 0.0f);
      }
      return w;
    }
    case ControlKind::kGroupBox:
      return new wxStaticBox(this, wxID_ANY, label, pos, size);
    case ControlKind::kPushButton:
    case ControlKind::kIconButton: {
      auto* w = new wxButton(this, wxID_ANY, label, pos, size);
      if (def.kind == ControlKind::kIconButton && def.iconId != 0)
        w->SetBitmap(IconBitmap(def.iconId, std::max(8, std::min(def.rect.height - 6, 20))));
      if ((def.style & kStyleDefault) != 0) w->SetDefault();
      return w;
    }
    case ControlKind::kRadioButton:
      return new wxRadioButton(this, wxID_ANY, label, pos, size,
                               (def.style & kStyleGroup) != 0 ? wxRB_GROUP : 0);
    case ControlKind::kCheckBox:
      return new wxCheckBox(this, wxID_ANY, label, pos, size);
    case ControlKind::kEdit: {
      long style = 0;
      if ((def.style & kStylePassword) != 0) style |= wxTE_PASSWORD;
      if ((def.style & kStyleReadOnly) != 0) style |= wxTE_READONLY;
      auto* w = new wxTextCtrl(this, wxID_ANY, wxEmptyString, pos, size, style);
      w->ChangeValue(label);
      return w;
    }
    case ControlKind::kTextBox: {
      auto* w = new wxTextCtrl(this, wxID_ANY, wxEmptyString, pos, size,
                               wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP);
      w->ChangeValue(label);
      return w;
    }
    case ControlKind::kDropDownList:
      return new wxChoice(this, wxID_ANY, pos, size);
    case ControlKind::kListView: {
      long style = wxLC_REPORT | wxBORDER_SUNKEN;
      if ((def.style & kStyleMultiSelect) == 0) style |= wxLC_SINGLE_SEL;
      if ((def.style & kStyleNoSortHeader) != 0) style |= wxLC_NO_SORT_HEADER;
      if ((def.style & kStyleVirtual) != 0)
        return new VirtualList(this, style | wxLC_VIRTUAL, pos, size, logic_, def.id);
      return new wxListCtrl(this, wxID_ANY, pos, size, style);
    }
    case ControlKind::kProgressBar:
      return new wxGauge(this, wxID_ANY, 100, pos, size, wxGA_HORIZONTAL | wxGA_SMOOTH);
    case ControlKind::kIcon:
      return new wxStaticBitmap(this, wxID_ANY,
                                IconBitmap(def.iconId, std::max(8, std::min(size.x, size.y))), pos,
                                size);
    case ControlKind::kBevelLine:
      return new wxStaticLine(this, wxID_ANY, pos, size, wxLI_HORIZONTAL);
  }
  (void)c;
  return nullptr;
}

void WxDialogView::BindEvents(Control& c) {
  const int id = c.id;
  wxWindow* w = c.window;
  switch (c.kind) {
    case ControlKind::kPushButton:
    case ControlKind::kIconButton:
      w->Bind(wxEVT_BUTTON, [this, id](wxCommandEvent&) { logic_.DispatchCommand(id, Notify::kClicked); });
      break;
    case ControlKind::kRadioButton:
      w->Bind(wxEVT_RADIOBUTTON, [this, id](wxCommandEvent&) { logic_.DispatchCommand(id, Notify::kClicked); });
      break;
    case ControlKind::kCheckBox:
      w->Bind(wxEVT_CHECKBOX, [this, id](wxCommandEvent&) { logic_.DispatchCommand(id, Notify::kClicked); });
      break;
    case ControlKind::kEdit:
      w->Bind(wxEVT_TEXT, [this, id](wxCommandEvent&) { logic_.DispatchCommand(id, Notify::kChanged); });
      w->Bind(wxEVT_CHAR, [this, id](wxKeyEvent& e) { OnEditChar(id, e); });
      w->Bind(wxEVT_TEXT_PASTE, [this, id](wxClipboardTextEvent& e) { OnEditPaste(id, e); });
      break;
    case ControlKind::kDropDownList:
      w->Bind(wxEVT_CHOICE, [this, id](wxCommandEvent&) { logic_.DispatchCommand(id, Notify::kSelChange); });
      break;
    case ControlKind::kListView: {
      auto changed = [this, id](wxListEvent&) {
        if (!quiet_) logic_.DispatchCommand(id, Notify::kSelChange);
      };
      w->Bind(wxEVT_LIST_ITEM_SELECTED, changed);
      w->Bind(wxEVT_LIST_ITEM_DESELECTED, changed);
      w->Bind(wxEVT_LIST_ITEM_ACTIVATED,
              [this, id](wxListEvent&) { logic_.DispatchCommand(id, Notify::kDoubleClick); });
      break;
    }
    default:
      break;
  }
}

int WxDialogView::Run() {
  g_running.push_back(this);
  logic_.DispatchInit(this);
  if (!ended_) {
    CentreOnScreen();
    running_ = true;
    ShowModal();
    running_ = false;
  }
  Finish();
  g_running.erase(std::remove(g_running.begin(), g_running.end(), this), g_running.end());
  return endValue_;
}

void WxDialogView::Finish() {
  for (auto& t : timers_) t.second->Stop();
  timers_.clear();
  // Secret edits are emptied before the window goes; GTK wipes the text it
  // held.
  for (Control& c : controls_) {
    if (c.masked && IsEditKind(c.kind)) static_cast<wxTextCtrl*>(c.window)->ChangeValue(wxEmptyString);
  }
  logic_.DispatchDestroy();
}

WxDialogView::Control* WxDialogView::Find(int id) {
  if (id == kIdcStatic) return nullptr;
  for (Control& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

const WxDialogView::Control* WxDialogView::Find(int id) const {
  return const_cast<WxDialogView*>(this)->Find(id);
}

wxWindow* WxDialogView::ControlWindow(int id) const {
  const Control* c = Find(id);
  return c ? c->window : nullptr;
}

int WxDialogView::IdOf(const wxWindow* w) const {
  for (; w && w != this; w = w->GetParent())
    for (const Control& c : controls_)
      if (c.window == w) return c.id;
  return kIdcStatic;
}

void WxDialogView::OnCharHook(wxKeyEvent& e) {
  const int key = e.GetKeyCode();
  if (key == WXK_ESCAPE) {
    logic_.DispatchEscape();
    return;
  }
  if (key == WXK_RETURN || key == WXK_NUMPAD_ENTER) {
    const int focus = FocusedControl();
    const Control* c = Find(focus);
    if (c && c->kind == ControlKind::kTextBox) {
      e.Skip();
      return;
    }
    // Enter on a focused push button presses that button.
    if (c && (c->kind == ControlKind::kPushButton || c->kind == ControlKind::kIconButton)) {
      if (c->window->IsEnabled()) logic_.DispatchCommand(c->id, Notify::kClicked);
      return;
    }
    logic_.DispatchEnter();
    return;
  }
  e.Skip();
}

void WxDialogView::OnEditChar(int id, wxKeyEvent& e) {
  const Control* c = Find(id);
  const wxChar ch = e.GetUnicodeKey();
  if (c && c->limit > 0 && ch != WXK_NONE && ch >= 32 && ch != 127 && !e.ControlDown()) {
    auto* t = static_cast<wxTextCtrl*>(c->window);
    long from = 0, to = 0;
    t->GetSelection(&from, &to);
    if (t->GetLastPosition() - (to - from) >= c->limit) {
      wxBell();
      return;
    }
  }
  e.Skip();
}

void WxDialogView::OnEditPaste(int id, wxClipboardTextEvent& e) {
  const Control* c = Find(id);
  if (!c || c->limit <= 0) {
    e.Skip();
    return;
  }
  wxString pasted;
  if (wxTheClipboard->Open()) {
    wxTextDataObject data;
    if (wxTheClipboard->GetData(data)) pasted = data.GetText();
    wxTheClipboard->Close();
  }
  auto* t = static_cast<wxTextCtrl*>(c->window);
  long from = 0, to = 0;
  t->GetSelection(&from, &to);
  const long room = c->limit - (t->GetLastPosition() - (to - from));
  if (room > 0) t->WriteText(pasted.Left(static_cast<size_t>(room)));
  else wxBell();
  WipeWxString(pasted);
}

void WxDialogView::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  logic_.DispatchPaint();
  if (bitmap_.IsOk()) dc.Blit(0, 0, bitmap_.GetWidth(), bitmap_.GetHeight(), &memoryDc_, 0, 0);
}

void WxDialogView::OnMouse(wxMouseEvent& e) {
  MouseEvent m;
  m.x = e.GetX();
  m.y = e.GetY();
  const wxEventType type = e.GetEventType();
  if (type == wxEVT_LEFT_DOWN) m.kind = MouseEvent::kDown;
  else if (type == wxEVT_LEFT_UP) m.kind = MouseEvent::kUp;
  else if (type == wxEVT_LEFT_DCLICK) m.kind = MouseEvent::kDoubleClick;
  else if (type == wxEVT_LEAVE_WINDOW) m.kind = MouseEvent::kLeave;
  else m.kind = MouseEvent::kMove;
  logic_.DispatchMouse(m);
  e.Skip();
}

// ---- the window ----

void WxDialogView::SetCaption(std::string_view text) { SetTitle(ToWx(text)); }

std::string WxDialogView::Caption() const { return FromWx(GetTitle()); }

Size WxDialogView::ClientSize() const {
  const wxSize s = GetClientSize();
  return {s.x, s.y};
}

void WxDialogView::SetClientSize(Size size) { wxDialog::SetClientSize(size.width, size.height); }

Size WxDialogView::WindowSize() const {
  const wxSize s = GetSize();
  return {s.x, s.y};
}

void WxDialogView::SetWindowSize(Size size) {
  if (GetSize() != wxSize(size.width, size.height)) SetSize(size.width, size.height);
}

FrameMetrics WxDialogView::Metrics() const {
  const wxSize outer = GetSize();
  const wxSize client = GetClientSize();
  FrameMetrics m;
  m.frameWidth = std::max(0, (outer.x - client.x) / 2);
  m.frameHeight = m.frameWidth;
  m.captionHeight = std::max(0, outer.y - client.y - 2 * m.frameHeight);
  return m;
}

void WxDialogView::SetTopmost(bool topmost) {
  long style = GetWindowStyleFlag();
  style = topmost ? (style | wxSTAY_ON_TOP) : (style & ~wxSTAY_ON_TOP);
  SetWindowStyleFlag(style);
}

void WxDialogView::EndDialog(int result) {
  if (ended_) return;
  ended_ = true;
  endValue_ = result;
  if (running_ && IsModal()) EndModal(result);
}

// ---- controls ----

bool WxDialogView::HasControl(int id) const { return Find(id) != nullptr; }

void WxDialogView::SetText(int id, std::string_view text) {
  Control* c = Find(id);
  if (!c) return;
  wxString s = ToWx(text);
  if (IsEditKind(c->kind)) {
    static_cast<wxTextCtrl*>(c->window)->ChangeValue(s);
  } else {
    c->window->SetLabel(s);
  }
  WipeWxString(s);
}

void WxDialogView::ReadText(int id, SecureText& out) const {
  const Control* c = Find(id);
  if (!c) {
    out.clear();
    return;
  }
  wxString s = IsEditKind(c->kind) ? static_cast<wxTextCtrl*>(c->window)->GetValue()
                                   : c->window->GetLabel();
  FromWx(s, out);
  WipeWxString(s);
}

void WxDialogView::ShowControl(int id, bool show) {
  if (Control* c = Find(id)) c->window->Show(show);
}

bool WxDialogView::IsVisible(int id) const {
  const Control* c = Find(id);
  return c && c->window->IsShown();
}

void WxDialogView::EnableControl(int id, bool enable) {
  if (Control* c = Find(id)) c->window->Enable(enable);
}

bool WxDialogView::IsEnabled(int id) const {
  const Control* c = Find(id);
  return c && c->window->IsThisEnabled();
}

void WxDialogView::MoveControl(int id, const Rect& r) {
  if (Control* c = Find(id)) c->window->SetSize(r.x, r.y, std::max(1, r.width), std::max(1, r.height));
}

Rect WxDialogView::ControlRect(int id) const {
  const Control* c = Find(id);
  if (!c) return {};
  const wxRect r = c->window->GetRect();
  return {r.x, r.y, r.width, r.height};
}

Size WxDialogView::ControlClientSize(int id) const {
  const Control* c = Find(id);
  if (!c) return {};
  const wxSize s = c->window->GetClientSize();
  return {s.x, s.y};
}

void WxDialogView::SetFocus(int id) {
  if (Control* c = Find(id)) c->window->SetFocus();
}

int WxDialogView::FocusedControl() const { return IdOf(wxWindow::FindFocus()); }

void WxDialogView::SetIcon(int id, int iconId) {
  Control* c = Find(id);
  if (!c) return;
  const wxSize size = c->window->GetSize();
  if (c->kind == ControlKind::kIconButton || c->kind == ControlKind::kPushButton)
    static_cast<wxButton*>(c->window)->SetBitmap(IconBitmap(iconId, std::max(8, std::min(size.y - 6, 20))));
  else if (c->kind == ControlKind::kIcon)
    static_cast<wxStaticBitmap*>(c->window)->SetBitmap(IconBitmap(iconId, std::max(8, std::min(size.x, size.y))));
}

void WxDialogView::SetTypingLimit(int id, int characters) {
  if (Control* c = Find(id)) c->limit = std::max(0, characters);
}

void WxDialogView::SetMasked(int id, bool masked) {
  Control* c = Find(id);
  if (!c || c->kind != ControlKind::kEdit) return;
  c->masked = masked;
  SetEntryMask(c->window, masked);
}

void WxDialogView::SetCaretToEnd(int id) {
  Control* c = Find(id);
  if (c && IsEditKind(c->kind)) static_cast<wxTextCtrl*>(c->window)->SetInsertionPointEnd();
}

void WxDialogView::SetCheck(int id, bool checked) {
  Control* c = Find(id);
  if (!c) return;
  if (c->kind == ControlKind::kRadioButton) static_cast<wxRadioButton*>(c->window)->SetValue(checked);
  else if (c->kind == ControlKind::kCheckBox) static_cast<wxCheckBox*>(c->window)->SetValue(checked);
}

bool WxDialogView::IsChecked(int id) const {
  const Control* c = Find(id);
  if (!c) return false;
  if (c->kind == ControlKind::kRadioButton) return static_cast<wxRadioButton*>(c->window)->GetValue();
  if (c->kind == ControlKind::kCheckBox) return static_cast<wxCheckBox*>(c->window)->GetValue();
  return false;
}

// ---- drop-down lists ----

namespace {
wxChoice* AsChoice(const WxDialogView*, wxWindow* w, ControlKind k) {
  return k == ControlKind::kDropDownList ? static_cast<wxChoice*>(w) : nullptr;
}
wxListCtrl* AsList(wxWindow* w, ControlKind k) {
  return k == ControlKind::kListView ? static_cast<wxListCtrl*>(w) : nullptr;
}
}  // namespace

void WxDialogView::ClearItems(int id) {
  if (Control* c = Find(id))
    if (wxChoice* ch = AsChoice(this, c->window, c->kind)) ch->Clear();
}

int WxDialogView::AddItem(int id, std::string_view text) {
  Control* c = Find(id);
  wxChoice* ch = c ? AsChoice(this, c->window, c->kind) : nullptr;
  return ch ? ch->Append(ToWx(text)) : -1;
}

int WxDialogView::ItemCount(int id) const {
  const Control* c = Find(id);
  wxChoice* ch = c ? AsChoice(this, c->window, c->kind) : nullptr;
  return ch ? static_cast<int>(ch->GetCount()) : 0;
}

void WxDialogView::SetCurSel(int id, int index) {
  Control* c = Find(id);
  if (wxChoice* ch = c ? AsChoice(this, c->window, c->kind) : nullptr)
    ch->SetSelection(index >= 0 && index < static_cast<int>(ch->GetCount()) ? index : wxNOT_FOUND);
}

int WxDialogView::CurSel(int id) const {
  const Control* c = Find(id);
  wxChoice* ch = c ? AsChoice(this, c->window, c->kind) : nullptr;
  return ch ? ch->GetSelection() : -1;
}

// ---- list views ----

void WxDialogView::AddColumn(int id, std::string_view heading, int width) {
  Control* c = Find(id);
  if (wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr)
    l->AppendColumn(ToWx(heading), wxLIST_FORMAT_LEFT, width);
}

void WxDialogView::SetColumnWidth(int id, int column, int width) {
  Control* c = Find(id);
  if (wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr)
    if (column >= 0 && column < l->GetColumnCount()) l->SetColumnWidth(column, width);
}

int WxDialogView::ColumnWidth(int id, int column) const {
  const Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  return l && column >= 0 && column < l->GetColumnCount() ? l->GetColumnWidth(column) : 0;
}

void WxDialogView::DeleteAllRows(int id) {
  Control* c = Find(id);
  if (wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr) {
    quiet_ = true;
    if (l->IsVirtual()) l->SetItemCount(0);
    else l->DeleteAllItems();
    quiet_ = false;
  }
}

int WxDialogView::InsertRow(int id, int row, std::string_view text) {
  Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  if (!l || l->IsVirtual()) return -1;
  const int count = l->GetItemCount();
  if (row < 0 || row > count) row = count;
  return static_cast<int>(l->InsertItem(row, ToWx(text)));
}

void WxDialogView::SetCellText(int id, int row, int column, std::string_view text) {
  Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  if (!l || l->IsVirtual() || row < 0 || row >= l->GetItemCount()) return;
  if (column < 0 || column >= l->GetColumnCount()) return;
  l->SetItem(row, column, ToWx(text));
}

std::string WxDialogView::CellText(int id, int row, int column) const {
  const Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  if (!l || row < 0 || row >= l->GetItemCount() || column < 0) return {};
  if (l->IsVirtual()) return logic_.DispatchGetItemText(id, row, column);
  return FromWx(l->GetItemText(row, column));
}

int WxDialogView::RowCount(int id) const {
  const Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  return l ? l->GetItemCount() : 0;
}

void WxDialogView::SetVirtualRowCount(int id, int rows) {
  Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  if (!l || !l->IsVirtual()) return;
  quiet_ = true;
  l->SetItemCount(std::max(0, rows));
  l->Refresh();
  quiet_ = false;
}

void WxDialogView::SelectRow(int id, int row, bool selected) {
  Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  if (!l || row < 0 || row >= l->GetItemCount()) return;
  quiet_ = true;
  l->SetItemState(row, selected ? wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED : 0,
                  wxLIST_STATE_SELECTED | (selected ? wxLIST_STATE_FOCUSED : 0));
  quiet_ = false;
}

std::vector<int> WxDialogView::SelectedRows(int id) const {
  std::vector<int> rows;
  const Control* c = Find(id);
  wxListCtrl* l = c ? AsList(c->window, c->kind) : nullptr;
  if (!l) return rows;
  for (long i = l->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); i != -1;
       i = l->GetNextItem(i, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
    rows.push_back(static_cast<int>(i));
  return rows;
}

// ---- progress bars ----

void WxDialogView::SetRange(int id, int low, int high) {
  Control* c = Find(id);
  if (!c || c->kind != ControlKind::kProgressBar) return;
  c->low = low;
  static_cast<wxGauge*>(c->window)->SetRange(std::max(1, high - low));
}

void WxDialogView::SetPos(int id, int pos) {
  Control* c = Find(id);
  if (!c || c->kind != ControlKind::kProgressBar) return;
  auto* g = static_cast<wxGauge*>(c->window);
  g->SetValue(std::clamp(pos - c->low, 0, g->GetRange()));
}

int WxDialogView::Pos(int id) const {
  const Control* c = Find(id);
  if (!c || c->kind != ControlKind::kProgressBar) return 0;
  return static_cast<wxGauge*>(c->window)->GetValue() + c->low;
}

// ---- text boxes ----

void WxDialogView::ShowScrollBars(int id, bool horizontal, bool vertical) {
  Control* c = Find(id);
  if (!c || c->kind != ControlKind::kTextBox) return;
  GtkWidget* h = c->window->GetHandle();
  if (gtk::IsScrolledWindow(h))
    gtk_scrolled_window_set_policy(h, horizontal ? gtk::kPolicyAlways : gtk::kPolicyNever,
                                   vertical ? gtk::kPolicyAlways : gtk::kPolicyNever);
}

// ---- measuring ----

Size WxDialogView::MeasureText(int id, std::string_view text) const {
  const Control* c = Find(id);
  const wxWindow* w = c ? c->window : static_cast<const wxWindow*>(this);
  const wxSize s = w->GetTextExtent(ToWx(text));
  return {s.x, s.y};
}

int WxDialogView::LineHeight(int id) const {
  const Control* c = Find(id);
  const wxWindow* w = c ? c->window : static_cast<const wxWindow*>(this);
  return w->GetCharHeight();
}

// ---- timers ----

void WxDialogView::SetTimer(int timerId, int milliseconds) {
  auto& timer = timers_[timerId];
  if (!timer) timer = std::make_unique<wxTimer>(this, timerId);
  timer->Start(std::max(1, milliseconds));
}

void WxDialogView::KillTimer(int timerId) {
  auto it = timers_.find(timerId);
  if (it == timers_.end()) return;
  it->second->Stop();
  timers_.erase(it);
}

// ---- owner drawing ----

IDrawSurface* WxDialogView::BackBuffer(Size size) {
  if (!surface_) {
    if (size.width <= 0 || size.height <= 0) return nullptr;
    bitmap_ = wxBitmap(size.width, size.height, 24);
    memoryDc_.SelectObject(bitmap_);
    if (!memoryDc_.IsOk()) return nullptr;
    surface_ = std::make_unique<WxDrawSurface>(memoryDc_);
  }
  return surface_.get();
}

void WxDialogView::Repaint() { Refresh(false); }

}  // namespace quenta
