// Serial settings, opening the port and identifying the controller.
#pragma once

#include "app/callback.h"
#include "formats/com_settings.h"

#include <cstdint>
#include <string>

struct App;

namespace comlink {

// Reads DftCom.prm into the link and shows port and address on the main panel.
// A missing or unreadable file changes nothing.
void RestoreComSettings(App& app);
// Opens the port of PARM_COMPORT, identifies the controller, saves the settings,
// enables the link controls and reads all parameters. Returns openStatus.
int ConnectController(App& app);
// Dims (1) or undims (0) the main-panel controls that need a link.
void EnableLinkControls(App& app, int dimmed);
// Fills the port selector with the numbers of the port map.
void FillPortSelector(App& app);

} // namespace comlink

TEC_CALLBACK(SetComport);
TEC_CALLBACK(ChangeAddrID);
