// Runtime: panels, controls, events, popups, charts, time.
#include "io/serial_qt.h"
#include "rt/end_request.h"
#include "rt/files.h"
#include "rt/log_viewer.h"
#include "rt/panel_fit.h"
#include "rt/panel_loader.h"
#include "rt/runtime_impl.h"
#include "rt/widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QStandardItemModel>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QSpinBox>
#include <QThread>
#include <QWindow>
#include <QTimer>

#include <cfenv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace rt {

bool sameValue(double a, double b)
{
    return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b));
}

double ringValue(const QComboBox* box, int index)
{
    const QVariant d = box->itemData(index);
    return d.isValid() ? d.toDouble() : static_cast<double>(index);
}

namespace {

// The largest panel file is under 100 KiB.
constexpr std::uint64_t kMaxPanelFileBytes = 4 << 20;

void applyRingValues(QComboBox* box)
{
    const QString values = box->property("values").toString();
    if (values.trimmed().isEmpty())
        return;
    const QStringList parts = values.split(QLatin1Char(','));
    for (int i = 0; i < box->count() && i < parts.size(); ++i) {
        bool ok = false;
        const double v = parts[i].trimmed().toDouble(&ok);
        if (ok)
            box->setItemData(i, v);
    }
    // Values the selector shows when the system sets them but the operator
    // cannot choose ("shownOnly": a comma-separated list of values).
    auto* model = qobject_cast<QStandardItemModel*>(box->model());
    const QString shownOnly = box->property("shownOnly").toString();
    if (!model || shownOnly.trimmed().isEmpty())
        return;
    for (const QString& part : shownOnly.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double v = part.trimmed().toDouble(&ok);
        for (int i = 0; ok && i < box->count(); ++i)
            if (sameValue(ringValue(box, i), v))
                if (QStandardItem* item = model->item(i))
                    item->setFlags(item->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
    }
}

bool explicitlyHidden(const QWidget* w)
{
    return w->testAttribute(Qt::WA_WState_ExplicitShowHide) && w->testAttribute(Qt::WA_WState_Hidden);
}

} // namespace

// ---------------------------------------------------------------- Impl

PanelRec* Runtime::Impl::panel(int handle)
{
    const auto it = panels.find(handle);
    return it == panels.end() || !it->second.widget ? nullptr : &it->second;
}

const PanelRec* Runtime::Impl::panel(int handle) const
{
    const auto it = panels.find(handle);
    return it == panels.end() || !it->second.widget ? nullptr : &it->second;
}

std::shared_ptr<ControlRec> Runtime::Impl::control(int p, int id) const
{
    const PanelRec* rec = panel(p);
    if (!rec)
        return nullptr;
    const auto it = rec->controls.find(id);
    if (it == rec->controls.end() || !it->second->widget)
        return nullptr;
    return it->second;
}

int Runtime::Impl::dispatch(const std::shared_ptr<ControlRec>& c, int event, bool fromToolkit)
{
    if (!c || !c->callback)
        return 0;
    if (fromToolkit && event == EVENT_TIMER_TICK) {
        if (!ticksMayRun()) {
            // Once, however many fall due meanwhile.
            if (!c->tickPending)
                pendingTicks.push_back(c);
            c->tickPending = true;
            return 0;
        }
        c->tickPending = false;
    } else if (fromToolkit && holdingEvents()) {
        // Right clicks come again; a field's commit does not.
        double v = 0;
        if (event == EVENT_COMMIT && qobject_cast<QAbstractSpinBox*>(c->widget.data()) &&
            getNumber(c->widget, &v) == 0) {
            heldCommits.erase(std::remove_if(heldCommits.begin(), heldCommits.end(),
                                             [&](const HeldCommit& h) { return h.control.lock() == c; }),
                              heldCommits.end());
            heldCommits.push_back({c, v});
        }
        return 0;
    }
    if (c->running)
        return 0;
    const std::shared_ptr<ControlRec> hold = c;  // the callback may discard the panel
    hold->running = true;
    ++callbackDepth;
    const int result = hold->callback(hold->panel, hold->id, event, nullptr, 0, 0);
    --callbackDepth;
    hold->running = false;
    afterHold();
    return result;
}

bool Runtime::Impl::ticksMayRun() const
{
    return !paintOnly && (callbackDepth == 0 || modalDepth > 0) && (!tickGate || tickGate());
}

void Runtime::Impl::postTickRelease()
{
    // Whether they may run is seen when the event loop gets to it: a popup
    // about to open lets them run inside it.
    if (pendingTicks.empty() || tickReleasePosted)
        return;
    tickReleasePosted = true;
    QTimer::singleShot(0, &hub, [this] { releasePendingTicks(); });
}

void Runtime::Impl::releasePendingTicks()
{
    tickReleasePosted = false;
    if (!ticksMayRun())
        return;  // the next end of a hold or an operation posts again
    std::vector<std::weak_ptr<ControlRec>> due;
    due.swap(pendingTicks);
    for (const std::weak_ptr<ControlRec>& w : due) {
        const std::shared_ptr<ControlRec> c = w.lock();
        if (!c || !c->tickPending)
            continue;  // gone, or it has ticked since
        c->tickPending = false;
        auto* timer = qobject_cast<TimerControl*>(c->widget.data());
        if (!timer || !timer->timerEnabled())
            continue;  // stopped meanwhile: the tick is not wanted any more
        // The late tick takes the place of the one due now, not an extra one.
        timer->restart();
        dispatch(c, EVENT_TIMER_TICK, true);
    }
}

void Runtime::Impl::afterHold()
{
    postTickRelease();
    if (heldCommits.empty() || holdingEvents() || releasePosted)
        return;
    releasePosted = true;
    // From the event loop, not from the end of the callback that held them.
    QTimer::singleShot(0, &hub, [this] { releaseHeldCommits(); });
}

void Runtime::Impl::releaseHeldCommits()
{
    releasePosted = false;
    if (holdingEvents())
        return;  // the next end of a hold posts again
    std::vector<HeldCommit> held;
    held.swap(heldCommits);
    for (const HeldCommit& h : held) {
        const std::shared_ptr<ControlRec> c = h.control.lock();
        if (!c || !c->widget || !c->widget->isEnabled() || !c->visible)
            continue;
        // A value the program has put in meanwhile replaces the operator's.
        double now = 0;
        if (getNumber(c->widget, &now) != 0 || !sameValue(now, h.value))
            continue;
        dispatch(c, EVENT_COMMIT, true);
    }
}

void Runtime::Impl::wireControl(const std::shared_ptr<ControlRec>& c)
{
    QWidget* w = c->widget;
    Impl* self = this;
    auto commit = [self, c] {
        if (!self->programmatic)
            self->dispatch(c, EVENT_COMMIT, true);
    };
    if (auto* t = qobject_cast<TimerControl*>(w)) {
        QObject::connect(t, &TimerControl::tick, t, [self, c] { self->dispatch(c, EVENT_TIMER_TICK, true); });
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        QObject::connect(b, &QAbstractButton::clicked, b, commit);
    } else if (auto* box = qobject_cast<QComboBox*>(w)) {
        QObject::connect(box, &QComboBox::activated, box, commit);
    } else if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
        d->setKeyboardTracking(false);
        QObject::connect(d, &QDoubleSpinBox::valueChanged, d, commit);
    } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
        s->setKeyboardTracking(false);
        QObject::connect(s, &QSpinBox::valueChanged, s, commit);
    }
    // Right clicks reach the control's callback, on the control and on its
    // inner widgets (a spin box's line edit), and never open a menu.
    QList<QWidget*> targets = w->findChildren<QWidget*>();
    targets.prepend(w);
    for (QWidget* t : targets) {
        t->installEventFilter(&hub);
        contextTargets[t] = {c->panel, c->id};
        QObject::connect(t, &QObject::destroyed, &hub, [self, t] { self->contextTargets.erase(t); });
    }
}

void Runtime::Impl::discard(int handle)
{
    const auto it = panels.find(handle);
    if (it == panels.end())
        return;
    std::vector<int> children;
    for (const auto& [h, rec] : panels)
        if (rec.parent == handle)
            children.push_back(h);
    for (int h : children)
        discard(h);
    rememberWindow(it->second);
    popups.erase(std::remove(popups.begin(), popups.end(), handle), popups.end());
    if (QWidget* w = it->second.widget) {
        panelWindows.erase(w);
        w->hide();
        // A callback of this panel may be on the stack: delete once it is done.
        w->deleteLater();
    }
    panels.erase(it);
}

bool Runtime::Impl::isPopup(int handle) const
{
    return std::find(popups.begin(), popups.end(), handle) != popups.end();
}

namespace {

// Decoration assumed around a window the window system has not framed yet:
// a title bar.
const QMargins kAssumedFrame(0, 32, 0, 0);

QMargins FrameOf(const QWidget* w, bool shownBefore)
{
    if (shownBefore && w->windowHandle()) {
        const QMargins m = w->windowHandle()->frameMargins();
        if (!m.isNull())
            return m;
    }
    return kAssumedFrame;
}

QString MemoryKey(const QWidget* w)
{
    return QStringLiteral("windows/") + w->objectName();
}

} // namespace

void Runtime::Impl::placeWindow(PanelRec& rec)
{
    QWidget* w = rec.widget;
    std::vector<QRect> screens;
    int primary = 0;
    for (QScreen* s : QGuiApplication::screens()) {
        if (s == QGuiApplication::primaryScreen())
            primary = static_cast<int>(screens.size());
        screens.push_back(s->availableGeometry());
    }
    if (screens.empty())
        return;
    const QMargins frame = FrameOf(w, rec.placed);
    bool maximized = false;
    QRect want;
    if (rec.placed) {
        want = QRect(w->pos(), w->size());
    } else if (!windowMemory.empty()) {
        const QSettings memory(QString::fromStdString(windowMemory), QSettings::IniFormat);
        want = memory.value(MemoryKey(w) + QStringLiteral("/geometry")).toRect();
        maximized = memory.value(MemoryKey(w) + QStringLiteral("/maximized")).toBool();
        if (!want.isValid() || want.width() < 1 || want.height() < 1)
            want = QRect();
    }
    if (want.isValid()) {
        const QRect fit = FitWindow(want, frame, screens, primary);
        w->move(fit.topLeft());
        w->resize(fit.size());
        if (maximized)
            w->setWindowState(w->windowState() | Qt::WindowMaximized);
    } else {
        // The desktop places it; only a window larger than its screen is
        // made smaller (its contents scroll).
        QWidget* main = mainWindow();
        const QScreen* screen = main && main != w && main->screen() ? main->screen() : QGuiApplication::primaryScreen();
        const QSize room = screen->availableGeometry().size().shrunkBy(frame);
        if (w->width() > room.width() || w->height() > room.height())
            w->resize(w->size().boundedTo(room));
    }
    rec.placed = true;
}

void Runtime::Impl::rememberWindow(const PanelRec& rec) const
{
    const QWidget* w = rec.widget;
    if (windowMemory.empty() || rec.parent != 0 || !w || !rec.displayed || !rec.placed || isPopup(rec.handle) ||
        w->objectName().isEmpty())
        return;
    QSettings memory(QString::fromStdString(windowMemory), QSettings::IniFormat);
    const bool maximized = w->isMaximized();
    memory.setValue(MemoryKey(w) + QStringLiteral("/maximized"), maximized);
    if (!maximized && !w->isMinimized())
        memory.setValue(MemoryKey(w) + QStringLiteral("/geometry"), QRect(w->pos(), w->size()));
}

void Runtime::Impl::rememberAll() const
{
    for (const auto& [h, rec] : panels)
        rememberWindow(rec);
}

QWidget* Runtime::Impl::mainWindow() const
{
    auto isPopup = [this](int h) { return std::find(popups.begin(), popups.end(), h) != popups.end(); };
    for (const auto& [h, rec] : panels)
        if (rec.parent == 0 && rec.widget && rec.displayed && !isPopup(h))
            return rec.widget;
    for (const auto& [h, rec] : panels)
        if (rec.parent == 0 && rec.widget && !isPopup(h))
            return rec.widget;
    return nullptr;
}

// The keyboard's way to ask for a control's help: the Menu key or Shift+F10,
// as desktops offer for a context menu.
static bool IsHelpKey(const QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto* k = static_cast<const QKeyEvent*>(event);
    return k->key() == Qt::Key_Menu || (k->key() == Qt::Key_F10 && k->modifiers() == Qt::ShiftModifier);
}

bool EventHub::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ContextMenu || IsHelpKey(event)) {
        const auto it = m_impl.contextTargets.find(watched);
        if (it != m_impl.contextTargets.end()) {
            m_impl.dispatch(m_impl.control(it->second.first, it->second.second), EVENT_RIGHT_CLICK, true);
            event->accept();
            return true;
        }
    } else if (event->type() == QEvent::Close) {
        const auto it = m_impl.panelWindows.find(watched);
        if (it == m_impl.panelWindows.end())
            return false;
        const int handle = it->second;
        PanelRec* rec = m_impl.panel(handle);
        if (!rec)
            return false;
        const bool installed =
            std::find(m_impl.popups.begin(), m_impl.popups.end(), handle) != m_impl.popups.end();
        if (installed || rec->closeHandler) {
            event->ignore();
            if (!installed && m_impl.callbackDepth == 0 && m_impl.modalDepth == 0 && !m_impl.paintOnly) {
                const auto handler = rec->closeHandler;
                ++m_impl.callbackDepth;
                handler();
                --m_impl.callbackDepth;
                m_impl.afterHold();
            }
            return true;
        }
        m_impl.rememberWindow(*rec);
        rec->displayed = false;
    }
    return false;
}

// ---------------------------------------------------------------- construction

Runtime::Runtime(Clock& clock, Operator& op) : m_clock(clock), m_op(op), m_impl(std::make_unique<Impl>(*this))
{
    // Panels are hidden and shown all the time; only QuitUserInterface ends the loop.
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        app->setQuitOnLastWindowClosed(false);
        // A monitor unplugged while the program runs: once it is gone, every
        // shown panel is brought back onto a screen that is still there.
        Impl* impl = m_impl.get();
        QObject::connect(app, &QGuiApplication::screenRemoved, &m_impl->hub, [impl] {
            QTimer::singleShot(0, &impl->hub, [impl] {
                for (auto& [h, rec] : impl->panels)
                    if (rec.parent == 0 && rec.widget && rec.widget->isVisible() && !impl->isPopup(h))
                        impl->placeWindow(rec);
            });
        });
    }
    m_portTable.setTrace(WireTrace());
    m_portTable.setWriteGate([this] { return ending(); });
    Impl* impl = m_impl.get();
    m_portTable.setIdleLossHandler([impl](int port) { impl->notifyPortLost(port); });
}

Runtime::~Runtime()
{
    m_portTable.closeAll();
    m_impl->rememberAll();
    // Children first: a child panel is deleted with its parent.
    for (auto it = m_impl->panels.rbegin(); it != m_impl->panels.rend(); ++it) {
        if (QWidget* w = it->second.widget) {
            w->removeEventFilter(&m_impl->hub);
            delete w;
        }
    }
    m_impl->panels.clear();
}

// ---------------------------------------------------------------- panels

void Runtime::setPanelSearchPath(const std::vector<std::string>& folders)
{
    m_impl->searchPath = folders;
}

const std::vector<std::string>& Runtime::panelSearchPath() const
{
    return m_impl->searchPath;
}

void Runtime::setCallbackResolver(CallbackResolver resolver)
{
    m_impl->resolver = std::move(resolver);
}

int Runtime::LoadPanel(int parentPanel, const std::string& fileName, int resourceId)
{
    QString path;
    const QString name = QString::fromStdString(fileName);
    if (QFileInfo(name).isAbsolute()) {
        path = name;
    } else {
        for (const std::string& folder : m_impl->searchPath) {
            const QString candidate = QDir(QString::fromStdString(folder)).filePath(name);
            if (QFileInfo(candidate).isFile()) {
                path = candidate;
                break;
            }
        }
    }
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return RT_ERR_PANEL_FILE;
    QWidget* parentWidget = nullptr;
    if (parentPanel != 0) {
        PanelRec* parent = m_impl->panel(parentPanel);
        if (!parent)
            return RT_ERR_BAD_HANDLE;
        parentWidget = parent->contents ? parent->contents : parent->widget;
    }
    // A regular file of a panel's size only: a FIFO in a panel folder would
    // otherwise hold start-up.
    std::string text;
    if (!ReadWholeFile(path.toStdString(), &text, nullptr, kMaxPanelFileBytes))
        return RT_ERR_PANEL_FILE;
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    text.clear();
    QWidget* w = nullptr;
    {
        QBuffer source;
        source.setData(bytes);
        source.open(QIODevice::ReadOnly);
        PanelLoader loader;
        w = loader.load(&source, nullptr);
    }
    if (!w)
        return RT_ERR_PANEL_FILE;

    const int handle = m_impl->nextHandle++;
    PanelRec rec;
    rec.handle = handle;
    rec.parent = parentPanel;
    rec.widget = w;
    if (parentWidget) {
        // A child panel is an overlay inside its parent, where its file puts it.
        const QRect geometry = TopWidgetGeometry(bytes).value_or(QRect(QPoint(0, 0), w->size()));
        w->setParent(parentWidget, Qt::Widget);
        w->setAutoFillBackground(true);
        w->setGeometry(geometry);
        w->hide();
    } else {
        w->hide();
        rec.contents = WrapInScroller(w);
        w->installEventFilter(&m_impl->hub);
        m_impl->panelWindows[w] = handle;
    }

    for (QWidget* child : w->findChildren<QWidget*>()) {
        const int id = controlIdByName(child->objectName().toStdString());
        if (id == CTRL_NONE || rec.controls.count(id))
            continue;
        auto c = std::make_shared<ControlRec>();
        c->panel = handle;
        c->id = id;
        c->widget = child;
        c->visible = !explicitlyHidden(child);
        c->dimmed = child->testAttribute(Qt::WA_ForceDisabled);
        if (auto* box = qobject_cast<QComboBox*>(child))
            applyRingValues(box);
        const QString cb = child->property("callback").toString().trimmed();
        if (!cb.isEmpty()) {
            c->callbackName = cb.toStdString();
            if (m_impl->resolver)
                c->callback = m_impl->resolver(c->callbackName);
            if (!c->callback)
                m_impl->unbound.push_back(c->callbackName);
        }
        if (auto* chart = qobject_cast<StripChart*>(child))
            chart->setTimeSource([this] { return CivilNow(); });
        rec.controls[id] = c;
        m_impl->wireControl(c);
    }
    m_impl->panels[handle] = std::move(rec);
    return handle;
}

int Runtime::DisplayPanel(int panel)
{
    PanelRec* rec = m_impl->panel(panel);
    if (!rec)
        return RT_ERR_BAD_HANDLE;
    QWidget* w = rec->widget;
    if (rec->parent == 0 && !w->isVisible() && !m_impl->isPopup(panel))
        m_impl->placeWindow(*rec);
    w->show();
    w->raise();
    if (rec->parent == 0)
        w->activateWindow();
    rec->displayed = true;
    return 0;
}

int Runtime::HidePanel(int panel)
{
    PanelRec* rec = m_impl->panel(panel);
    if (!rec)
        return RT_ERR_BAD_HANDLE;
    auto& popups = m_impl->popups;
    if (std::find(popups.begin(), popups.end(), panel) != popups.end()) {
        popups.erase(std::remove(popups.begin(), popups.end(), panel), popups.end());
        rec->widget->hide();
        rec->widget->setWindowModality(Qt::NonModal);
    }
    if (rec->widget->isVisible())
        m_impl->rememberWindow(*rec);
    rec->widget->hide();
    rec->displayed = false;
    return 0;
}

int Runtime::DiscardPanel(int panel)
{
    if (!m_impl->panel(panel))
        return RT_ERR_BAD_HANDLE;
    m_impl->discard(panel);
    return 0;
}

int Runtime::InstallPopup(int panel)
{
    PanelRec* rec = m_impl->panel(panel);
    if (!rec)
        return RT_ERR_BAD_HANDLE;
    QWidget* w = rec->widget;
    auto& popups = m_impl->popups;
    if (std::find(popups.begin(), popups.end(), panel) != popups.end()) {
        w->raise();
        return 0;
    }
    if (rec->parent != 0)
        w->setParent(nullptr, Qt::Dialog);
    if (w->isVisible())
        w->hide();
    w->setWindowModality(Qt::ApplicationModal);
    if (QWidget* main = m_impl->mainWindow(); main && main != w) {
        w->adjustSize();
        const QRect frame = main->frameGeometry();
        w->move(frame.center() - QPoint(w->width() / 2, w->height() / 2));
    }
    popups.push_back(panel);
    rec->displayed = true;
    w->show();
    w->raise();
    w->activateWindow();
    // Paint it now: only paint and expose events run here, so no callback can
    // start (every timer tick and commit is dropped while paintOnly is set).
    m_impl->paintOnly = true;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    // A window system may map the window a little later (X11 does): wait for
    // that briefly, so the popup is on the screen before the work it
    // announces blocks the thread.
    QElapsedTimer mapped;
    mapped.start();
    while (w->windowHandle() && !w->windowHandle()->isExposed() && mapped.elapsed() < 250) {
        QThread::msleep(2);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    w->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    m_impl->paintOnly = false;
    m_impl->afterHold();
    return 0;
}

int Runtime::RemovePopup(int zero)
{
    auto& popups = m_impl->popups;
    // 0 removes the active popup; any other value removes them all.
    while (!popups.empty()) {
        const int handle = popups.back();
        popups.pop_back();
        if (PanelRec* rec = m_impl->panel(handle)) {
            rec->widget->hide();
            rec->widget->setWindowModality(Qt::NonModal);
            rec->displayed = false;
        }
        if (zero == 0)
            break;
    }
    return 0;
}

bool Runtime::IsPanelVisible(int panel) const
{
    const PanelRec* rec = m_impl->panel(panel);
    return rec && rec->displayed;
}

bool Runtime::IsPopupInstalled(int panel) const
{
    const auto& popups = m_impl->popups;
    return std::find(popups.begin(), popups.end(), panel) != popups.end();
}

const std::vector<std::string>& Runtime::unboundCallbacks() const
{
    return m_impl->unbound;
}

std::vector<std::string> Runtime::boundCallbacks() const
{
    std::vector<std::string> out;
    for (const auto& [h, rec] : m_impl->panels)
        for (const auto& [id, c] : rec.controls)
            if (c->callback)
                out.push_back(c->callbackName);
    return out;
}

QWidget* Runtime::panelWidget(int panel) const
{
    const PanelRec* rec = m_impl->panel(panel);
    return rec ? rec->widget.data() : nullptr;
}

QWidget* Runtime::controlWidget(int panel, int control) const
{
    const auto c = m_impl->control(panel, control);
    return c ? c->widget.data() : nullptr;
}

void Runtime::setPanelCloseHandler(int panel, std::function<void()> handler)
{
    if (PanelRec* rec = m_impl->panel(panel))
        rec->closeHandler = std::move(handler);
}

void Runtime::setWindowMemory(const std::string& settingsFile)
{
    m_impl->windowMemory = settingsFile;
}

std::string Runtime::DefaultWindowMemoryFile()
{
    return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QStringLiteral("/tecontrol/tecontrol.conf"))
        .toStdString();
}

} // namespace rt
