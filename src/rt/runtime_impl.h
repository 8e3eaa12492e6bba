// The inside of Runtime, shared by the run-time's source files.
#pragma once

#include "rt/runtime.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <map>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QEventLoop;

namespace rt {

// Shared by the run-time's source files: two values the same to within a
// millionth; the value of a selector's item; a control's value as a number
// (0, or an error when the control holds none).
bool sameValue(double a, double b);
double ringValue(const QComboBox* box, int index);
int getNumber(const QWidget* w, double* v);

struct ControlRec {
    int panel = 0;
    int id = 0;
    QPointer<QWidget> widget;
    std::string callbackName;
    CtrlCallback callback;
    bool running = false;   // its callback is on the stack
    bool tickPending = false;  // a timer tick fell due while ticks were held
    bool visible = true;    // as last set, whatever the panel's state
    bool dimmed = false;
};

struct PanelRec {
    int handle = 0;
    int parent = 0;
    QPointer<QWidget> widget;
    std::map<int, std::shared_ptr<ControlRec>> controls;
    std::function<void()> closeHandler;
    bool displayed = false;
    // A top-level panel's contents sit in a scroll area inside it; child
    // panels belong to the contents.
    QPointer<QWidget> contents;
    bool placed = false;  // shown as a window before (its geometry is the operator's)
};

// Sees context-menu requests on controls and frame closes of panel windows.
class EventHub final : public QObject {
public:
    explicit EventHub(Runtime::Impl& impl) : m_impl(impl) {}
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Runtime::Impl& m_impl;
};

struct Runtime::Impl {
    explicit Impl(Runtime& owner) : rt(owner), hub(*this) {}

    Runtime& rt;
    EventHub hub;
    std::vector<std::string> searchPath;
    CallbackResolver resolver;
    std::vector<std::string> unbound;
    std::map<int, PanelRec> panels;
    int nextHandle = 1;
    std::vector<int> popups;  // installed, most recent last
    std::map<QObject*, std::pair<int, int>> contextTargets;  // widget -> (panel, control)
    std::map<QObject*, int> panelWindows;                    // top widget -> panel

    int callbackDepth = 0;  // callbacks on the stack
    int modalDepth = 0;     // operator dialogs open
    bool paintOnly = false; // painting a popup: no callback may run
    bool programmatic = false;

    QEventLoop* loop = nullptr;
    bool quitRequested = false;
    bool ending = false;    // the program is being ended from outside
    int quitCode = 0;

    std::map<int, std::string> openProblems;  // why the last open of a port failed
    std::function<void(int)> comLost;
    // A port's device reported itself lost while idle (the port table has
    // marked it): tell comLost once nothing holds events back.
    void notifyPortLost(int port);

    // Field commits that arrived while events were held back (a field left by
    // its focus moving to a popup), with the value the operator gave. They run
    // once the program is idle again, if the field still shows that value.
    struct HeldCommit {
        std::weak_ptr<ControlRec> control;
        double value = 0;
    };
    std::vector<HeldCommit> heldCommits;
    bool releasePosted = false;

    PanelRec* panel(int handle);
    const PanelRec* panel(int handle) const;
    std::shared_ptr<ControlRec> control(int panel, int id) const;
    // Runs a control's callback. Events from the toolkit other than timer
    // ticks are dropped while a callback, an operator dialog or a popup's
    // first paint is in progress, so the operator's actions never interleave;
    // a control's callback is never re-entered. A field's commit dropped this
    // way is held and delivered later (see heldCommits), so an operator's
    // edit is never taken silently. Timer ticks run inside an operator
    // dialog's event loop too, unless ticksMayRun() says no: then the timer
    // is marked and ticks once when they may run again.
    int dispatch(const std::shared_ptr<ControlRec>& c, int event, bool fromToolkit);
    bool holdingEvents() const { return callbackDepth > 0 || modalDepth > 0 || paintOnly; }
    // Not while a popup paints, not while the gate says an operation holds
    // the link, and inside a callback only from an operator dialog's loop.
    bool ticksMayRun() const;
    // Called whenever a callback, dialog or popup paint ends: once nothing
    // holds events back, the held commits are delivered from the event loop;
    // once ticks may run, the timers that waited tick.
    void afterHold();
    void releaseHeldCommits();
    std::function<bool()> tickGate;
    std::vector<std::weak_ptr<ControlRec>> pendingTicks;
    bool tickReleasePosted = false;
    void postTickRelease();
    void releasePendingTicks();
    void wireControl(const std::shared_ptr<ControlRec>& c);
    void discard(int handle);
    QWidget* mainWindow() const;
    bool isPopup(int handle) const;

    // Window memory: the settings file ("" remembers nothing).
    std::string windowMemory;
    // Puts a top-level panel where it is reachable before it is shown: where
    // it was last time, or the desktop's choice at a size that fits.
    void placeWindow(PanelRec& rec);
    // Stores a shown top-level panel's position and size.
    void rememberWindow(const PanelRec& rec) const;
    void rememberAll() const;
};

} // namespace rt
