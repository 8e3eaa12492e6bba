// The controllers the window knows: where each one is (port and address),
// the operator's name for it, and which one the panels act on. Kept in the
// program's settings file and brought back at start.
#pragma once

#include "core/controller.h"

#include <memory>
#include <string>
#include <vector>

namespace controllers {

// The longest name kept; longer ones are cut.
constexpr std::size_t kMaxNameLength = 40;

struct ControllerList {
    // One record per controller, in the order shown. The records stay where
    // they are while others are added or removed: a poller holds pointers.
    std::vector<std::unique_ptr<core::Controller>> entries;
    int selected = -1;  // index of the controller the panels act on; -1: none

    int size() const { return static_cast<int>(entries.size()); }
    core::Controller* at(int index) const;
    core::Controller* selectedController() const { return at(selected); }
    // The index of the controller at port and address, or -1.
    int find(int port, int address) const;
};

// The name as kept: control characters become spaces, blanks at either end
// go, and it is cut to kMaxNameLength bytes (never inside a UTF-8 character).
std::string CleanName(const std::string& name);

// Adds a controller at port (1..65535) and address (1..247). Returns "" and
// its index in *index, or why not in words (nothing changed then).
std::string Add(ControllerList& list, int port, int address, const std::string& name, int* index = nullptr);
// Gives the controller another name ("" takes its name away). False when
// there is no such controller.
bool Rename(ControllerList& list, int index, const std::string& name);
// Removes a controller. The selected one can only go when it is the last
// one left (the panels act on it): returns why not in words, or "". The
// record itself goes to *removed when given (a round may still hold it).
std::string Remove(ControllerList& list, int index, std::unique_ptr<core::Controller>* removed = nullptr);

// Writes the list and the selection into the settings file ("" writes
// nothing). The group written is the whole of what is kept.
void Save(const ControllerList& list, const std::string& settingsFile);
// Replaces the list by what the settings file holds. Entries that cannot be
// used (port or address out of range, a second entry for the same port and
// address) are left out; a selection that names none of those kept is none.
void Load(ControllerList* list, const std::string& settingsFile);

} // namespace controllers
