#include "platform/wx/wx_icons.h"

#include <algorithm>
#include <memory>

#include <wx/brush.h>
#include <wx/graphics.h>
#include <wx/pen.h>
#include <wx/image.h>

#include "dialogs/dialog_logic.h"

namespace quenta {

namespace {

void DrawKeyboard(wxGraphicsContext& gc, double s) {
  const double top = s * 0.22, height = s * 0.56;
  gc.SetPen(wxPen(wxColour(40, 40, 40), 1));
  gc.SetBrush(wxBrush(wxColour(90, 90, 90)));
  gc.DrawRoundedRectangle(0.5, top, s - 1.0, height, s * 0.08);
  gc.SetPen(*wxTRANSPARENT_PEN);
  gc.SetBrush(wxBrush(wxColour(245, 245, 245)));
  const int columns = 6;
  const double key = (s - 2.0) / (columns + 1.0);
  const double gap = key / (columns + 1.0);
  for (int row = 0; row < 2; ++row)
    for (int c = 0; c < columns; ++c)
      gc.DrawRectangle(1.5 + gap + c * (key + gap), top + gap * 2 + row * (key + gap), key,
                       key * 0.8);
  gc.DrawRectangle(s * 0.25, top + height - key - gap, s * 0.5, key * 0.7);
}

void DrawSign(wxGraphicsContext& gc, double s) {
  gc.SetPen(wxPen(wxColour(60, 60, 60), 1));
  gc.SetBrush(wxBrush(wxColour(255, 255, 255)));
  gc.DrawRectangle(s * 0.15, s * 0.05, s * 0.6, s * 0.85);
  gc.SetPen(wxPen(wxColour(150, 150, 150), 1));
  for (int i = 0; i < 4; ++i) gc.StrokeLine(s * 0.25, s * (0.2 + 0.12 * i), s * 0.65, s * (0.2 + 0.12 * i));
  gc.SetPen(wxPen(wxColour(0, 60, 160), std::max(1.0, s / 10)));
  wxGraphicsPath p = gc.CreatePath();
  p.MoveToPoint(s * 0.25, s * 0.8);
  p.AddCurveToPoint(s * 0.4, s * 0.6, s * 0.5, s * 0.95, s * 0.9, s * 0.65);
  gc.StrokePath(p);
}

void DrawArrows(wxGraphicsContext& gc, double s, bool down) {
  gc.SetPen(wxPen(wxColour(30, 30, 30), std::max(1.0, s / 8)));
  for (int i = 0; i < 2; ++i) {
    const double y = s * (0.25 + 0.3 * i);
    const double outer = down ? y : y + s * 0.2;
    const double tip = down ? y + s * 0.2 : y;
    wxGraphicsPath p = gc.CreatePath();
    p.MoveToPoint(s * 0.2, outer);
    p.AddLineToPoint(s * 0.5, tip);
    p.AddLineToPoint(s * 0.8, outer);
    gc.StrokePath(p);
  }
}

}  // namespace

wxBitmap IconBitmap(int iconId, int size) {
  if (size < 8) size = 8;
  wxImage image(size, size);
  image.InitAlpha();
  unsigned char* alpha = image.GetAlpha();
  for (int i = 0; i < size * size; ++i) alpha[i] = 0;
  {
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
    if (gc) {
      gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
      const double s = size;
      switch (iconId) {
        case kIconKeyboard: DrawKeyboard(*gc, s); break;
        case kIconSign: DrawSign(*gc, s); break;
        case kIconExpand: DrawArrows(*gc, s, true); break;
        case kIconCollapse: DrawArrows(*gc, s, false); break;
        default:
          gc->SetPen(wxPen(wxColour(128, 128, 128), 1));
          gc->DrawRectangle(0.5, 0.5, s - 1, s - 1);
          break;
      }
    }
  }
  return wxBitmap(image);
}

}  // namespace quenta
