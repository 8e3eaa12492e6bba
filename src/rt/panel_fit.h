// Panel windows on the screens people have: a panel larger than the screen
// scrolls instead of being cut off, and a remembered window position is
// brought back onto a screen that is still there.
#pragma once

#include <QMargins>
#include <QRect>
#include <QScrollArea>

#include <vector>

namespace rt {

// The scroll area a top-level panel's contents sit in. Without scroll bars
// (the window is at least the contents' minimum size) the panel looks as it
// did without it: no frame, no margins, no focus of its own.
class PanelScroller final : public QScrollArea {
public:
    explicit PanelScroller(QWidget* parent);
    // The contents' own size hint, so a window sized to its hint (a popup)
    // gets its full size, not a scroll area's default.
    QSize sizeHint() const override;
};

// Moves the contents of a top-level panel (its layout and the widgets it
// positions itself) into a PanelScroller that fills the panel. The panel's
// minimum size becomes that of the contents; the window itself can shrink
// to a small size and scrolls. Returns the widget the contents now sit in
// (child panels belong there, so they scroll with the contents).
QWidget* WrapInScroller(QWidget* panel);

// Where a window goes so that all of it is reachable. `window` is the frame's
// top-left and the client size; `frame` the decoration around the client
// area; `screens` the screens' available areas (without the desktop's panels)
// and `primary` the index of the primary one. The window stays on the screen
// it overlaps most, or, overlapping none (that monitor was unplugged), is
// centred on the primary screen; it is shrunk to fit that screen and moved
// just far enough to lie wholly inside it. Returns the frame's top-left and
// the client size.
QRect FitWindow(const QRect& window, const QMargins& frame, const std::vector<QRect>& screens, int primary);

} // namespace rt
