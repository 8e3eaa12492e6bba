#include "rt/panel_fit.h"

#include <QLayout>
#include <QScrollBar>

#include <algorithm>

namespace rt {

PanelScroller::PanelScroller(QWidget* parent) : QScrollArea(parent)
{
    setObjectName(QStringLiteral("panelScroller"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The panel's own background shows through, whatever its style sheet says.
    viewport()->setAutoFillBackground(false);
}

QSize PanelScroller::sizeHint() const
{
    const QWidget* w = widget();
    return w ? w->sizeHint().expandedTo(w->minimumSize()) : QScrollArea::sizeHint();
}

QWidget* WrapInScroller(QWidget* panel)
{
    auto* contents = new QWidget;
    contents->setObjectName(panel->objectName() + QStringLiteral("_contents"));
    // Widgets the panel positions itself (no layout, or beside it) keep
    // their places inside the contents.
    const QList<QWidget*> loose = panel->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    // Moving widgets to another parent appends them to the focus chain in the
    // order they move; the panel file's tab order is put back afterwards.
    std::vector<QWidget*> tabOrder;
    for (QWidget* w = panel->nextInFocusChain(); w && w != panel; w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && !w->focusProxy() && panel->isAncestorOf(w))
            tabOrder.push_back(w);
    const QSize minimum = panel->minimumSize();
    if (QLayout* layout = panel->layout()) {
        // Takes the layout and the widgets it manages off the panel.
        contents->setLayout(layout);
        contents->setMinimumSize(minimum);
    } else {
        contents->setMinimumSize(minimum.expandedTo(panel->size()));
    }
    for (QWidget* child : loose) {
        if (child->parentWidget() == panel && !child->isWindow()) {
            const QRect at = child->geometry();
            const bool hidden = child->isHidden();
            child->setParent(contents);
            child->setGeometry(at);
            child->setHidden(hidden);
        }
    }
    auto* scroller = new PanelScroller(panel);
    scroller->setWidget(contents);
    contents->setAutoFillBackground(false);
    auto* frame = new QVBoxLayout(panel);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    frame->addWidget(scroller);
    panel->setMinimumSize(0, 0);
    for (size_t i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    return contents;
}

namespace {

int OverlapArea(const QRect& a, const QRect& b)
{
    const QRect i = a.intersected(b);
    return i.isEmpty() ? 0 : i.width() * i.height();
}

} // namespace

QRect FitWindow(const QRect& window, const QMargins& frame, const std::vector<QRect>& screens, int primary)
{
    if (screens.empty())
        return window;
    const QRect outer(window.topLeft(), window.size().grownBy(frame));
    int best = -1;
    int bestArea = 0;
    for (size_t i = 0; i < screens.size(); ++i) {
        const int area = OverlapArea(outer, screens[i]);
        if (area > bestArea) {
            bestArea = area;
            best = static_cast<int>(i);
        }
    }
    const bool lost = best < 0;
    if (lost)
        best = std::clamp(primary, 0, static_cast<int>(screens.size()) - 1);
    const QRect screen = screens[best];

    QSize client = window.size();
    client = client.boundedTo(screen.size().shrunkBy(frame)).expandedTo(QSize(1, 1));
    const QSize outerSize = client.grownBy(frame);
    QPoint at = lost ? screen.topLeft() + QPoint((screen.width() - outerSize.width()) / 2,
                                                 (screen.height() - outerSize.height()) / 2)
                     : window.topLeft();
    at.setX(std::clamp(at.x(), screen.left(), std::max(screen.left(), screen.right() + 1 - outerSize.width())));
    at.setY(std::clamp(at.y(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - outerSize.height())));
    return QRect(at, client);
}

} // namespace rt
