// A fresh system for one test: virtual clock, scripted operator, the real
// panels (offscreen), the callback table, and the simulated controller on
// port 1 at address 1. Each rig works in its own temporary directory.
#pragma once

#include "app/app.h"
#include "support/hex.h"
#include "rt/runtime.h"
#include "sim/controller.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTemporaryDir;

struct TestRig {
    explicit TestRig(const sim::Config& simConfig = {}, bool loadPanels = true);
    ~TestRig();

    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt;
    App app;
    std::shared_ptr<sim::Controller> sim;
    std::unique_ptr<QTemporaryDir> dir;

    // The working directory of this rig.
    std::string path(const std::string& name) const;
    // Connects to the simulated controller on port 1, address 1, as selecting
    // the port does. Returns openStatus.
    int connect(int port = 1, int address = 1);
    // Requests the simulated controller has received since the last clear.
    std::vector<std::vector<std::uint8_t>> wire() const;
    void clearWire();
    // Panel shortcuts.
    int parm() const { return app.panels.parm; }
    double value(int panel, int control) const;
    int intValue(int panel, int control) const;
    bool dimmed(int panel, int control) const;
    bool visible(int panel, int control) const;
};

// Checks every argument of a file-dialog request against the expected one.
void ExpectFileRequest(const rt::FileSelect& actual, const rt::FileSelect& expected);
// A file-dialog request: default folder "" (the working directory), cancel allowed,
// neither folder nor extension restricted.
rt::FileSelect FileRequest(const std::string& spec, const std::string& types, const std::string& title,
                           int buttonLabel, bool allowMakeDirectory);

