// The controllers overview: the window's face of several controllers. One
// row per configured controller (name, port, address, model, PV, SV, output,
// state with the age of its last sample and its misses, alarm); adding by
// port and address or from a scan of the line (reads only, cancellable),
// renaming, removing, and choosing the controller the panels act on.
//
// With one controller configured (or none) the program looks and behaves as
// it always has: panel titles stay as their files give them, the overview
// does not open by itself, and nothing extra goes on the wire.
#pragma once

#include "app/callback.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct App;
namespace core {
struct Controller;
}

namespace overview {

// What the overview keeps between callbacks.
struct State {
    std::map<int, std::string> baseTitles;  // each panel's title as its file gives it
    // The scan in progress.
    bool scanning = false;
    bool scanOpenedPort = false;  // the scan opened the port itself (no controller was connected)
    int scanPort = 0;
    int scanFirst = 0;
    int scanNext = 0;
    int scanLast = 0;
    int scanFound = 0;
    int scanFirstFound = 0;  // address of the first controller found
    std::string scanGarbled;  // addresses with garbled answers, "3, 7"
};

// Start-up, before connecting: the configured controllers come back from the
// settings; the one the serial settings name is the selected one.
void Restore(App& app);
// Start-up, after connecting: the overview opens when more than one
// controller is configured.
void ShowAtStart(App& app);
// A controller was identified on the link: it becomes the selected one (a new
// entry when several are configured and it is not among them; with at most
// one configured, the one entry follows the main panel as the link always
// has). The list is saved and the titles follow.
void NoteConnected(App& app, std::uint8_t model, std::uint8_t identLo);
// The selected entry carries what the window's own record holds (its
// identity, read-all, last sample, state and counters), so that the list's
// records are the ones everybody reads. Called after each round and whenever
// the list or the link changes. With several configured, a controller newly
// selected first hands the window's record what was known of it.
void MirrorSelected(App& app);
// Keeps each entry's last whole sample (see monitor::Rounds::lastGood).
void KeepLastGood(App& app);
// A record taken out of the list: the rounds leave it out from now on, and it
// is kept until no round can hold it any more.
void RetireRecord(App& app, std::unique_ptr<core::Controller> record);
// Makes the controller at index the one the panels act on: the main panel
// takes its port and address and the link is made to it, as selecting the
// port does. Returns the connection's openStatus, or -1 for no such entry.
int Select(App& app, int index);
// Each panel's title: as its file gives it with one controller, with the
// selected controller's name and address after it with several.
void ShowTitles(App& app);
// Fills the table from the controller records.
void Refresh(App& app);
// What a connection history line begins with: with several controllers
// configured, the one on the link ("Stage A [2]: "); "" otherwise.
std::string HistoryPrefix(const App& app);
// The text a title carries for the selected controller: "Stage A [2]", or
// "address 2" without a name.
std::string TitleLabel(const std::string& name, int address);

} // namespace overview

TEC_CALLBACK(OpenOverview);
TEC_CALLBACK(OverviewClose);
TEC_CALLBACK(OverviewAdd);
TEC_CALLBACK(OverviewRename);
TEC_CALLBACK(OverviewRemove);
TEC_CALLBACK(OverviewSelect);
TEC_CALLBACK(OverviewScan);
TEC_CALLBACK(OverviewScanCancel);
TEC_CALLBACK(OverviewScanTick);
TEC_CALLBACK(OverviewRefresh);
