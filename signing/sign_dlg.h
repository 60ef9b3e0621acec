// The sign dialog: shows an order (as a parameter list or as text), offers
// the keys the page allows, takes the key's password or PIN and signs at
// once through the key store when the sign button is pressed. The same
// object signs without any window for the requests that name their key
// (PerformSigning after SelectPreferredKey).
//
// Two layouts: the order layout (an order text decoded by PrepareSignData)
// and the login layout (data attached directly with SetSignData, no order
// shown). The engine fills the inputs, runs the dialog or the silent path,
// then reads the result, the chosen key name and the output bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dialogs/dialog_logic.h"
#include "dialogs/pin_dlg.h"
#include "engine/keys_storage.h"
#include "engine/secure.h"
#include "signing/order_text.h"

namespace quenta {

class CSignDlg : public CDialogLogic {
 public:
  static constexpr int kResourceId = 210;

  // Control ids.
  static constexpr int kIdExpand = 232;          // expand/collapse button
  static constexpr int kIdTopLine = 233;         // separator shown with the button
  static constexpr int kIdOrderGroup = 225;      // "Order content:"
  static constexpr int kIdFormattedView = 205;   // radio: the parameter list or formatted text
  static constexpr int kIdSignedView = 206;      // radio: the text exactly as signed
  static constexpr int kIdOrderList = 204;       // parameter list (virtual rows)
  static constexpr int kIdOrderText = 207;       // read-only text box at the list's place
  static constexpr int kIdOrderLine = 234;       // separator below the order area
  static constexpr int kIdLoginNote = 254;
  static constexpr int kIdKeyLabel = 226;
  static constexpr int kIdKeyList = 208;
  static constexpr int kIdPasswordLabel = 227;
  static constexpr int kIdPassword = 213;
  static constexpr int kIdKeyboard = 3;
  static constexpr int kIdSignIcon = 228;

  // Text ids.
  static constexpr int kTextExpand = 300;
  static constexpr int kTextCollapse = 303;
  static constexpr int kTextOrderGroup = 306;
  static constexpr int kTextFormatted = 279;
  static constexpr int kTextSigned = 282;
  static constexpr int kTextParameterColumn = 231;
  static constexpr int kTextValueColumn = 234;
  static constexpr int kTextLoginNote = 541;
  static constexpr int kTextKeyLabelSign = 285;
  static constexpr int kTextKeyLabelLogin = 544;
  static constexpr int kTextPasswordLabel = 288;
  static constexpr int kTextPinLabel = 705;
  static constexpr int kTextSignButton = 291;
  static constexpr int kTextCancelButton = 294;
  static constexpr int kTextCaptionSign = 297;
  static constexpr int kTextCaptionLogin = 547;
  static constexpr int kTextNoCardDriver = 730;
  static constexpr int kTextNoUsbDriver = 732;
  static constexpr int kTextCardNotInitialised = 604;

  static constexpr int kPasswordLimit = 255;
  static constexpr int kPinLimit = 4;

  CSignDlg();
  ~CSignDlg() override;

  // ---- inputs, set by the engine before the run ----
  // 1 (the initial value): the data comes from SetSignData and no order is
  // decoded or shown; 0: PrepareSignData decodes the order text.
  void SetDataIsDirect(int direct) { dataIsDirect_ = direct; }
  // Takes the engine, the allowed keys ("|name|" pieces) and the preferred
  // key, copies the engine's sign dialog type and, for an order, decodes the
  // hexadecimal order text. 0, or the decoder's code (1) with no data taken.
  int PrepareSignData(CKeysStorage* engine, const char* orderText, const char* allowedKeys,
                      const char* preferredKey);
  // Attaches bytes the caller keeps owning (login requests); (null, 0) detaches.
  void SetSignData(const unsigned char* bytes, std::size_t length);
  void SetSilent(int silent) { silent_ = silent; }
  void SetOperation(int operation) { operation_ = operation; }
  // The callbacks handed down to the key store for secrets. By default the
  // password dialog and the PIN/PUK dialog.
  void SetSecretCallbacks(PasswordCallback password, PinPukCallback pinPuk) {
    passwordCb_ = password;
    pinPukCb_ = pinPuk;
  }

  // ---- the silent path ----
  // Selects the engine entry named exactly like the preferred key (the last
  // one when several are); none leaves the selection at -1.
  void SelectPreferredKey();
  // Makes the selected key current, runs the operation on the data and
  // releases the key. The result field holds the same code.
  int PerformSigning();

  // ---- outputs, read by the engine after the run ----
  int Result() const { return result_; }
  const std::string& ChosenKeyName() const { return chosenName_; }
  const SecureBytes& Output() const { return signature_; }
  SecureBytes TakeOutput();
  const std::string& TokenReport() const { return tokenReport_; }

  // ---- state, for the engine and tests ----
  int DialogType() const { return dialogType_; }
  int SelectedKeyIndex() const { return selectedKey_; }
  bool KeyPrepared() const { return keyPrepared_ != 0; }
  bool Collapsed() const { return collapsed_ != 0; }
  bool MultiLine() const { return multiLine_ != 0; }
  bool FormattedViewSelected() const { return formattedView_ == 0; }
  bool SignedViewSelected() const { return signedView_ == 0; }
  bool VerticalScroll() const { return vScroll_ != 0; }
  bool HorizontalScroll() const { return hScroll_ != 0; }
  int BoxHeight() const { return boxHeight_; }
  const COrderText& Order() const { return order_; }
  std::size_t DataLength() const { return length_; }

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnOK() override;
  void OnCommand(int id, Notify code) override;
  std::string OnGetItemText(int id, int row, int column) override;
  void OnDestroy() override;

 private:
  bool SigningOperation() const { return operation_ == kOpSignSha1 || operation_ == kOpSignSha256; }
  bool OrderLayout() const { return dataIsDirect_ == 0; }
  CKeyStorage* EntryAt(int index) const;
  CKeyStorage* EntryListedAt(int position, int* index) const;

  // Moves the password, the label texts and the radio states between the
  // fields and the controls: true reads the controls, false shows the fields.
  void DoDataExchange(bool readControls);
  void FillKeyList();
  void UpdateKeyFields();
  void ArrangeControls();
  void ShowOrderView(int id);
  void ToggleExpand();
  void UseKeyboard();
  void OnKeyChosen();
  void PrepareOrderView();
  enum BoxContent { kBoxNothing, kBoxFormatted, kBoxSigned };
  void UpdateBoxText();
  bool AnyLineWiderThan(std::string_view text, int width);
  int RunSigning();

  // Inputs and outputs.
  int dialogType_ = 1;
  int selectedKey_ = -1;
  int result_ = 0;
  std::string chosenName_;
  const unsigned char* data_ = nullptr;
  std::size_t length_ = 0;
  COrderText order_;  // the decoded bytes (order layout only)
  int silent_ = 0;
  SecureBytes signature_;
  int operation_ = kOpSignSha256;
  std::string tokenReport_;
  int tokenCode_ = 0;
  int dataIsDirect_ = 1;

  // Shown state.
  int formattedView_ = 0;
  int signedView_ = -1;
  int collapsed_ = 0;
  SecureText password_;
  std::string keyLabel_;
  std::string passwordLabel_;
  std::string loginNote_;

  CKeysStorage* engine_ = nullptr;
  std::string allowedKeys_;
  std::string preferredKey_;
  int multiLine_ = 0;
  int boxHeight_ = 0;
  int vScroll_ = 0;
  int hScroll_ = 0;
  int keyPrepared_ = 0;
  BoxContent boxContent_ = kBoxNothing;

  PasswordCallback passwordCb_;
  PinPukCallback pinPukCb_ = &CPinDlg::PinPukCallback;
};

}  // namespace quenta
