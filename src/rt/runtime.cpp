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

namespace {

// The largest panel file is under 100 KiB.
constexpr std::uint64_t kMaxPanelFileBytes = 4 << 20;

QString numberText(double v)
{
    return QString::number(v, 'g', 8);
}

int getNumber(const QWidget* w, double* v);

bool sameValue(double a, double b)
{
    return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b));
}

double ringValue(const QComboBox* box, int index)
{
    const QVariant d = box->itemData(index);
    return d.isValid() ? d.toDouble() : static_cast<double>(index);
}

// Selects the item holding the value; a value not in the list gets an item
// of its own, so the selector always shows what it was given.
void setRing(QComboBox* box, double v)
{
    for (int i = 0; i < box->count(); ++i) {
        if (sameValue(ringValue(box, i), v)) {
            box->setCurrentIndex(i);
            return;
        }
    }
    box->addItem(numberText(v), v);
    box->setCurrentIndex(box->count() - 1);
}

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

// ---------------------------------------------------------------- values

namespace {

struct ProgrammaticScope {
    explicit ProgrammaticScope(bool& flag) : m_flag(flag), m_old(flag) { m_flag = true; }
    ~ProgrammaticScope() { m_flag = m_old; }
    bool& m_flag;
    bool m_old;
};

int setNumber(QWidget* w, double v)
{
    if (!std::isfinite(v))
        return RT_ERR_BAD_ARGUMENT;
    if (auto* n = qobject_cast<Numeric*>(w))
        n->setNoValue(false);
    else if (auto* sb = qobject_cast<SpinBox*>(w))
        sb->setNoValue(false);
    if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
        const QSignalBlocker block(d);
        d->setValue(v);
    } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
        const QSignalBlocker block(s);
        s->setValue(static_cast<int>(std::lround(v)));
    } else if (auto* led = qobject_cast<Led*>(w)) {
        led->setOn(v != 0);
    } else if (auto* box = qobject_cast<QComboBox*>(w)) {
        const QSignalBlocker block(box);
        setRing(box, v);
    } else if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->isCheckable()) {
        const QSignalBlocker block(b);
        b->setChecked(v != 0);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(numberText(v));
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(numberText(v));
    } else {
        return RT_ERR_BAD_ARGUMENT;
    }
    return 0;
}

int getNumber(const QWidget* w, double* v)
{
    if (auto* d = qobject_cast<const QDoubleSpinBox*>(w)) {
        *v = d->value();
    } else if (auto* s = qobject_cast<const QSpinBox*>(w)) {
        *v = s->value();
    } else if (auto* led = qobject_cast<const Led*>(w)) {
        *v = led->isOn() ? 1 : 0;
    } else if (auto* box = qobject_cast<const QComboBox*>(w)) {
        if (box->currentIndex() < 0)
            return RT_ERR_BAD_ARGUMENT;
        *v = ringValue(box, box->currentIndex());
    } else if (auto* b = qobject_cast<const QAbstractButton*>(w); b && b->isCheckable()) {
        *v = b->isChecked() ? 1 : 0;
    } else if (auto* label = qobject_cast<const QLabel*>(w)) {
        bool ok = false;
        *v = label->text().trimmed().toDouble(&ok);
        if (!ok)
            return RT_ERR_BAD_ARGUMENT;
    } else if (auto* edit = qobject_cast<const QLineEdit*>(w)) {
        bool ok = false;
        *v = edit->text().trimmed().toDouble(&ok);
        if (!ok)
            return RT_ERR_BAD_ARGUMENT;
    } else {
        return RT_ERR_BAD_ARGUMENT;
    }
    return 0;
}

} // namespace

int Runtime::SetCtrlVal(int panel, int control, double value)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    ProgrammaticScope scope(m_impl->programmatic);
    return setNumber(c->widget, value);
}

int Runtime::SetCtrlVal(int panel, int control, int value)
{
    return SetCtrlVal(panel, control, static_cast<double>(value));
}

int Runtime::SetCtrlVal(int panel, int control, const std::string& text)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    ProgrammaticScope scope(m_impl->programmatic);
    const QString t = QString::fromStdString(text);
    QWidget* w = c->widget;
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(t);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(t);
    } else if (auto* box = qobject_cast<QComboBox*>(w)) {
        const int i = box->findText(t);
        if (i < 0)
            return RT_ERR_BAD_ARGUMENT;
        const QSignalBlocker block(box);
        box->setCurrentIndex(i);
    } else {
        bool ok = false;
        const double v = t.trimmed().toDouble(&ok);
        if (!ok)
            return RT_ERR_BAD_ARGUMENT;
        return setNumber(w, v);
    }
    return 0;
}

int Runtime::GetCtrlVal(int panel, int control, double* value) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    double v = 0;
    const int r = getNumber(c->widget, &v);
    if (r == 0 && value)
        *value = v;
    return r;
}

namespace {

// Reads a control as a double and converts it to the caller's type: floats as
// they are, integers rounded to the nearest.
template <typename T>
int GetConverted(const Runtime& rt, int panel, int control, T* value)
{
    double v = 0;
    const int r = rt.GetCtrlVal(panel, control, &v);
    if (r == 0 && value) {
        if constexpr (std::is_floating_point_v<T>)
            *value = static_cast<T>(v);
        else
            *value = static_cast<T>(std::lround(v));
    }
    return r;
}

} // namespace

int Runtime::GetCtrlVal(int panel, int control, float* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, int* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, short* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, unsigned short* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, std::string* text) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    const QWidget* w = c->widget;
    QString t;
    if (auto* label = qobject_cast<const QLabel*>(w))
        t = label->text();
    else if (auto* edit = qobject_cast<const QLineEdit*>(w))
        t = edit->text();
    else if (auto* box = qobject_cast<const QComboBox*>(w))
        t = box->currentText();
    else if (auto* spin = qobject_cast<const QAbstractSpinBox*>(w))
        t = spin->text();
    else if (auto* b = qobject_cast<const QAbstractButton*>(w))
        t = b->text();
    else
        return RT_ERR_BAD_ARGUMENT;
    if (text)
        *text = t.toStdString();
    return 0;
}

// ---------------------------------------------------------------- attributes

namespace {

int setAttribute(ControlRec& c, int attribute, double v)
{
    QWidget* w = c.widget;
    if (!std::isfinite(v))
        return RT_ERR_BAD_ARGUMENT;
    switch (attribute) {
    case ATTR_DIMMED:
        c.dimmed = v != 0;
        w->setEnabled(!c.dimmed);
        return 0;
    case ATTR_VISIBLE:
        c.visible = v != 0;
        if (!qobject_cast<TimerControl*>(w))
            w->setVisible(c.visible);
        return 0;
    case ATTR_CTRL_MODE:
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            const bool editable = v != 0;
            spin->setReadOnly(!editable);
            spin->setButtonSymbols(editable ? QAbstractSpinBox::UpDownArrows : QAbstractSpinBox::NoButtons);
            spin->setFocusPolicy(editable ? Qt::WheelFocus : Qt::NoFocus);
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_PRECISION: {
        const int digits = static_cast<int>(std::lround(v));
        if (digits < 0)
            return RT_ERR_BAD_ARGUMENT;
        if (auto* n = qobject_cast<Numeric*>(w)) {
            n->setPrecision(digits);
            return 0;
        }
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            // Fewer decimals may round the value: that is no operator's commit.
            const QSignalBlocker block(d);
            d->setDecimals(digits);
            return 0;
        }
        return qobject_cast<QSpinBox*>(w) ? 0 : RT_ERR_BAD_ARGUMENT;
    }
    case ATTR_XAXIS_GAIN:
        if (auto* s = qobject_cast<StripChart*>(w))
            return s->setXIncrement(v) ? 0 : RT_ERR_BAD_ARGUMENT;
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_POINTS_PER_SCREEN:
        if (auto* s = qobject_cast<StripChart*>(w))
            return v >= 1 && v <= kStripChartMaxPoints && s->setPointsPerScreen(static_cast<int>(std::lround(v)))
                       ? 0
                       : RT_ERR_BAD_ARGUMENT;
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_INTERVAL:
        if (auto* t = qobject_cast<TimerControl*>(w); t && v >= 0) {
            t->setInterval(v);
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_ENABLED:
        if (auto* t = qobject_cast<TimerControl*>(w)) {
            t->setTimerEnabled(v != 0);
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_NO_VALUE:
        if (auto* n = qobject_cast<Numeric*>(w)) {
            n->setNoValue(v != 0);
            return 0;
        }
        if (auto* sb = qobject_cast<SpinBox*>(w)) {
            sb->setNoValue(v != 0);
            return 0;
        }
        if (auto* box = qobject_cast<QComboBox*>(w)) {
            if (v != 0) {
                const QSignalBlocker block(box);
                box->setPlaceholderText(QString(kNoValueText));
                box->setCurrentIndex(-1);
            }
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    default:
        return RT_ERR_BAD_ARGUMENT;
    }
}

int getAttribute(const ControlRec& c, int attribute, double* v)
{
    const QWidget* w = c.widget;
    switch (attribute) {
    case ATTR_DIMMED:
        *v = c.dimmed ? 1 : 0;
        return 0;
    case ATTR_VISIBLE:
        *v = c.visible ? 1 : 0;
        return 0;
    case ATTR_CTRL_MODE:
        if (auto* spin = qobject_cast<const QAbstractSpinBox*>(w)) {
            *v = spin->isReadOnly() ? 0 : 1;
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_PRECISION:
        if (auto* n = qobject_cast<const Numeric*>(w))
            *v = n->precision();
        else if (auto* d = qobject_cast<const QDoubleSpinBox*>(w))
            *v = d->decimals();
        else if (qobject_cast<const QSpinBox*>(w))
            *v = 0;
        else
            return RT_ERR_BAD_ARGUMENT;
        return 0;
    case ATTR_XAXIS_GAIN:
        if (auto* s = qobject_cast<const StripChart*>(w)) {
            *v = s->xIncrement();
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_POINTS_PER_SCREEN:
        if (auto* s = qobject_cast<const StripChart*>(w)) {
            *v = s->pointsPerScreen();
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_INTERVAL:
        if (auto* t = qobject_cast<const TimerControl*>(w)) {
            *v = t->interval();
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_ENABLED:
        if (auto* t = qobject_cast<const TimerControl*>(w)) {
            *v = t->timerEnabled() ? 1 : 0;
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_NO_VALUE:
        if (auto* n = qobject_cast<const Numeric*>(w))
            *v = n->hasNoValue() ? 1 : 0;
        else if (auto* sb = qobject_cast<const SpinBox*>(w))
            *v = sb->hasNoValue() ? 1 : 0;
        else if (auto* box = qobject_cast<const QComboBox*>(w))
            *v = box->currentIndex() < 0 ? 1 : 0;
        else
            return RT_ERR_BAD_ARGUMENT;
        return 0;
    default:
        return RT_ERR_BAD_ARGUMENT;
    }
}

} // namespace

int Runtime::SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    return SetCtrlAttribute(panel, control, attribute, static_cast<double>(value));
}

int Runtime::SetCtrlAttribute(int panel, int control, int attribute, double value)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    return setAttribute(*c, attribute, value);
}

int Runtime::SetCtrlAttribute(int panel, int control, int attribute, const std::string& text)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* n = qobject_cast<Numeric*>(c->widget.data());
    if (attribute != ATTR_UNIT || !n)
        return RT_ERR_BAD_ARGUMENT;
    ProgrammaticScope scope(m_impl->programmatic);
    n->setUnitSuffix(QString::fromStdString(text));
    return 0;
}

int Runtime::GetCtrlAttribute(int panel, int control, int attribute, int* value) const
{
    double v = 0;
    const int r = GetCtrlAttribute(panel, control, attribute, &v);
    if (r == 0 && value)
        *value = static_cast<int>(std::lround(v));
    return r;
}

int Runtime::GetCtrlAttribute(int panel, int control, int attribute, double* value) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    double v = 0;
    const int r = getAttribute(*c, attribute, &v);
    if (r == 0 && value)
        *value = v;
    return r;
}

// ---------------------------------------------------------------- selector items

int Runtime::InsertListItem(int panel, int control, int index, const std::string& label, double value)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* box = qobject_cast<QComboBox*>(c->widget.data());
    if (!box)
        return RT_ERR_BAD_ARGUMENT;
    const QSignalBlocker block(box);
    const int at = index < 0 || index > box->count() ? box->count() : index;
    box->insertItem(at, QString::fromStdString(label), value);
    return 0;
}

int Runtime::ClearListCtrl(int panel, int control)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* box = qobject_cast<QComboBox*>(c->widget.data());
    if (!box)
        return RT_ERR_BAD_ARGUMENT;
    const QSignalBlocker block(box);
    box->clear();
    return 0;
}

int Runtime::GetNumListItems(int panel, int control) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* box = qobject_cast<const QComboBox*>(c->widget.data());
    return box ? box->count() : RT_ERR_BAD_ARGUMENT;
}

// ---------------------------------------------------------------- events

int Runtime::FireEvent(int panel, int control, int event)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    return m_impl->dispatch(c, event, false);
}

int Runtime::Commit(int panel, int control, double value)
{
    const int r = SetCtrlVal(panel, control, value);
    if (r < 0)
        return r;
    return FireEvent(panel, control, EVENT_COMMIT);
}

int Runtime::Commit(int panel, int control, int value)
{
    return Commit(panel, control, static_cast<double>(value));
}

int Runtime::Commit(int panel, int control)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    // A click on a switch toggles it before its callback runs.
    if (auto* b = qobject_cast<QAbstractButton*>(c->widget.data()); b && b->isCheckable()) {
        const QSignalBlocker block(b);
        b->setChecked(!b->isChecked());
    }
    return m_impl->dispatch(c, EVENT_COMMIT, false);
}

int Runtime::Tick(int panel, int control)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    return m_impl->dispatch(c, EVENT_TIMER_TICK, false);
}

void Runtime::SetTickGate(std::function<bool()> ticksMayRun)
{
    m_impl->tickGate = std::move(ticksMayRun);
}

void Runtime::ResumeTicks()
{
    m_impl->postTickRelease();
}

int Runtime::RunUserInterface()
{
    if (m_impl->quitRequested)
        return m_impl->quitCode;
    QEventLoop loop;
    m_impl->loop = &loop;
    loop.exec();
    m_impl->loop = nullptr;
    return m_impl->quitCode;
}

void Runtime::QuitUserInterface(int code)
{
    m_impl->quitRequested = true;
    m_impl->quitCode = code;
    if (m_impl->loop)
        m_impl->loop->exit(code);
}

bool Runtime::quitRequested() const
{
    return m_impl->quitRequested;
}

void Runtime::EndFromOutside(int code)
{
    m_impl->ending = true;
    QuitUserInterface(code);
    if (m_impl->modalDepth > 0)
        m_op.dismiss();
}

bool Runtime::ending() const
{
    return m_impl->ending || EndRequested();
}

// ---------------------------------------------------------------- popups

namespace {
struct DepthScope {
    explicit DepthScope(Runtime::Impl& impl) : m_impl(impl)
    {
        ++m_impl.modalDepth;
        m_impl.postTickRelease();
    }
    ~DepthScope()
    {
        --m_impl.modalDepth;
        m_impl.afterHold();
    }
    Runtime::Impl& m_impl;
};
} // namespace

// Every popup by its title, off by default: what an unattended program asked
// its operator can be followed without a screen.
Q_LOGGING_CATEGORY(lcPopup, "tecontrol.popup", QtWarningMsg)

void Runtime::MessagePopup(const std::string& title, const std::string& text)
{
    if (ending())
        return;
    qCDebug(lcPopup).noquote() << "message:" << QString::fromStdString(title);
    DepthScope modal(*m_impl);
    m_op.message(title, text);
}

void Runtime::MessagePopup(const std::string& title, const std::string& text, const std::string& informative)
{
    if (ending())
        return;
    qCDebug(lcPopup).noquote() << "message:" << QString::fromStdString(title);
    DepthScope modal(*m_impl);
    if (informative.empty())
        m_op.message(title, text);
    else
        m_op.messageWithInfo(title, text, informative);
}

int Runtime::GenericMessagePopup(const GenericPopup& popup)
{
    if (ending())
        return popup.escapeButton;
    qCDebug(lcPopup).noquote() << "question:" << QString::fromStdString(popup.title);
    DepthScope modal(*m_impl);
    const int answer = m_op.generic(popup);
    // A question dismissed because the program ends was not answered.
    return ending() ? popup.escapeButton : answer;
}

int Runtime::FileSelectPopup(const FileSelect& request, std::string* path)
{
    if (ending())
        return 0;
    qCDebug(lcPopup).noquote() << "file dialog:" << QString::fromStdString(request.title);
    DepthScope modal(*m_impl);
    std::string chosen;
    const int r = m_op.fileSelect(request, &chosen);
    if (ending())
        return 0;
    if (r > 0 && path)
        *path = chosen;
    return r;
}

// ---------------------------------------------------------------- strip chart and graph

namespace {
template <class T>
T* widgetAs(const Runtime::Impl& impl, int panel, int control, int* err)
{
    const auto c = impl.control(panel, control);
    if (!c) {
        *err = RT_ERR_BAD_HANDLE;
        return nullptr;
    }
    T* w = qobject_cast<T*>(c->widget.data());
    if (!w)
        *err = RT_ERR_BAD_ARGUMENT;
    return w;
}
} // namespace

int Runtime::PlotStripChart(int panel, int control, const void* array, int numberOfPoints, int startingIndex,
                            int skipCount, int dataType)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    const int traces = chart->traceCount();
    if (!array || traces == 0 || numberOfPoints < traces || startingIndex < 0 || skipCount < 0 ||
        (dataType != VAL_FLOAT && dataType != VAL_DOUBLE))
        return RT_ERR_BAD_ARGUMENT;
    std::vector<double> point(static_cast<std::size_t>(traces));
    const int groups = numberOfPoints / traces;
    for (int g = 0; g < groups; ++g) {
        for (int k = 0; k < traces; ++k) {
            const long long at = startingIndex + static_cast<long long>(g * traces + k) * (skipCount + 1);
            point[static_cast<std::size_t>(k)] = dataType == VAL_FLOAT ? static_cast<const float*>(array)[at]
                                                                       : static_cast<const double*>(array)[at];
        }
        chart->addPoint(point, CivilNow());
    }
    return 0;
}

int Runtime::ClearStripChart(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    chart->clearPoints();
    return 0;
}

int Runtime::SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    if (axis != 1)
        return RT_ERR_BAD_ARGUMENT;
    return chart->setYScaling(mode, min, max) ? 0 : RT_ERR_BAD_ARGUMENT;
}

int Runtime::GetAxisScalingMode(int panel, int control, int axis, int* mode, double* min, double* max) const
{
    int err = 0;
    auto* plot = widgetAs<QCustomPlot>(*m_impl, panel, control, &err);
    if (!plot)
        return err;
    if (axis != 0 && axis != 1)
        return RT_ERR_BAD_ARGUMENT;
    const QCPRange r = (axis == 0 ? plot->xAxis : plot->yAxis)->range();
    int m = 1;
    if (auto* chart = qobject_cast<StripChart*>(plot))
        m = axis == 1 ? chart->yScalingMode() : 0;
    if (mode)
        *mode = m;
    if (min)
        *min = r.lower;
    if (max)
        *max = r.upper;
    return 0;
}

int Runtime::SetAxisLabel(int panel, int control, int axis, const std::string& label)
{
    int err = 0;
    auto* plot = widgetAs<QCustomPlot>(*m_impl, panel, control, &err);
    if (!plot)
        return err;
    if (axis != 0 && axis != 1)
        return RT_ERR_BAD_ARGUMENT;
    (axis == 0 ? plot->xAxis : plot->yAxis)->setLabel(QString::fromStdString(label));
    plot->replot(QCustomPlot::rpQueuedReplot);
    return 0;
}

int Runtime::PlotLine(int panel, int control, double x1, double y1, double x2, double y2, int color)
{
    int err = 0;
    auto* graph = widgetAs<Graph>(*m_impl, panel, control, &err);
    if (!graph)
        return err;
    if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2))
        return RT_ERR_BAD_ARGUMENT;
    return graph->addLine(x1, y1, x2, y2, QColor(QRgb(static_cast<unsigned>(color) & 0xFFFFFFu)));
}

int Runtime::DeleteGraphPlot(int panel, int control, int plotHandle, int refresh)
{
    int err = 0;
    auto* graph = widgetAs<Graph>(*m_impl, panel, control, &err);
    if (!graph)
        return err;
    if (plotHandle == -1)
        graph->removeAll();
    else if (!graph->removeLine(plotHandle))
        return RT_ERR_BAD_ARGUMENT;
    if (refresh == 1)
        graph->replot(QCustomPlot::rpImmediateRefresh);
    return 0;
}

int Runtime::StripChartPointCount(int panel, int control) const
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    return chart ? chart->pointCount() : err;
}

int Runtime::ReplotNow(int panel, int control)
{
    int err = 0;
    auto* plot = widgetAs<QCustomPlot>(*m_impl, panel, control, &err);
    if (!plot)
        return err;
    plot->replot(QCustomPlot::rpImmediateRefresh);
    return 0;
}

int Runtime::StripChartFollowLive(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    chart->followLive();
    return 0;
}

int Runtime::StripChartRestoreY(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    chart->restoreYScale();
    return 0;
}

int Runtime::ExportStripChart(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    return ExportChartAsked(*this, *chart);
}

int Runtime::ShowChartWindow(int likePanel, int likeControl, const std::string& title, const std::string& status,
                             std::vector<double> times, std::vector<std::vector<double>> values)
{
    int err = 0;
    auto* like = widgetAs<StripChart>(*m_impl, likePanel, likeControl, &err);
    if (!like)
        return err;
    auto* viewer = new LogViewer(*this, *like, QString::fromStdString(title), QString::fromStdString(status),
                                 std::move(times), std::move(values));
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    return 0;
}

double Runtime::CivilNow() const
{
    // Finding the zone's offset reads the zone file each time, far too slow
    // for every point of a week; offsets change on whole minutes at most.
    thread_local std::int64_t cachedMinute = std::numeric_limits<std::int64_t>::min();
    thread_local int cachedOffset = 0;
    const std::int64_t ms = m_clock.wallMillis();
    const std::int64_t minute = ms >= 0 ? ms / 60000 : (ms - 59999) / 60000;
    if (minute != cachedMinute) {
        cachedOffset = QDateTime::fromMSecsSinceEpoch(minute * 60000, Qt::LocalTime).offsetFromUtc();
        cachedMinute = minute;
    }
    return static_cast<double>(ms) / 1000.0 + cachedOffset;
}

// ---------------------------------------------------------------- time and numbers

void Runtime::Delay(double seconds)
{
    m_clock.sleep(seconds);
}

void Runtime::ProcessDrawEvents()
{
    const bool was = m_impl->paintOnly;
    m_impl->paintOnly = true;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    m_impl->paintOnly = was;
    m_impl->afterHold();
}

std::string Runtime::TimeStr() const
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(m_clock.wallMillis(), Qt::LocalTime);
    return t.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

void Runtime::GetSystemDate(int* month, int* day, int* year) const
{
    const QDate d = QDateTime::fromMSecsSinceEpoch(m_clock.wallMillis(), Qt::LocalTime).date();
    if (month)
        *month = d.month();
    if (day)
        *day = d.day();
    if (year)
        *year = d.year();
}

long Runtime::RoundRealToNearestInteger(double value)
{
    // Halves go to the even neighbour whatever rounding mode is in force, and
    // values beyond a long (32 bits on Windows) saturate instead of wrapping.
    const int mode = std::fegetround();
    if (mode != FE_TONEAREST)
        std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(value);
    if (mode != FE_TONEAREST)
        std::fesetround(mode);
    if (std::isnan(r))
        return 0;
    constexpr double lo = static_cast<double>(std::numeric_limits<long>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<long>::max());
    if (r <= lo)
        return std::numeric_limits<long>::min();
    if (r >= hi)
        return std::numeric_limits<long>::max();
    return static_cast<long>(r);
}

} // namespace rt
