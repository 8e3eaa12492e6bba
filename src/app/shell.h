// Start-up, panels, shutdown, help popups and the debug panel.
#pragma once

#include "app/callback.h"

#include <string>
#include <vector>

struct App;

namespace shell {

// Binds every callback name of the system; empty when the name is unknown.
SystemCallback FindCallback(const std::string& name);
// All callback names of the table (63).
std::vector<std::string> CallbackNames();
// Installs the table into the run-time for this context.
void BindCallbacks(App& app);
// Loads the eight panels (main first). Returns false when the main panel
// cannot be loaded.
bool LoadPanels(App& app);
// Start-up after the panels: fill the port selector, show the main panel,
// restore the serial settings, connect. Returns the connection's openStatus
// (negative when there is no link; the operator has then been told why).
int StartUp(App& app);
// As above, but connects on forcedPort (> 0) whatever the settings file says
// (the built-in simulated controller sits on a fixed port).
int StartUp(App& app, int forcedPort);
// What closing a panel's window by its frame does.
void InstallCloseHandlers(App& app);

} // namespace shell

TEC_CALLBACK(Info);
TEC_CALLBACK(Quit);
TEC_CALLBACK(ExitParm);
TEC_CALLBACK(Scrip_Help);
TEC_CALLBACK(HelpSWfilter);
TEC_CALLBACK(HelpAlarm);
TEC_CALLBACK(LoopMsg);
TEC_CALLBACK(LogCaution);
TEC_CALLBACK(OpenDebugPanel);
TEC_CALLBACK(QuitDebug);
TEC_CALLBACK(CheckFunc);
TEC_CALLBACK(WrtOn);
TEC_CALLBACK(DecToHexConv);
TEC_CALLBACK(HexToDecConv);
TEC_CALLBACK(DebugPorting);
