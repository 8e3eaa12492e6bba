// The one serial link to the controller.
#pragma once

#include <cstdint>

struct ControllerLink {
    std::uint16_t comPort = 0;      // port number passed to every serial call
    std::uint32_t baudRate = 19200; // set only from the settings file
    std::uint16_t ctrlID = 0;       // controller address; its low byte is byte 0 of every request
    std::uint16_t portOpen = 0;     // 1 once the port is open and the controller identified
    std::int32_t openStatus = 0;    // result of the last opening; negative: no link
    std::int32_t linkBusy = 0;      // taken by timer-driven transactions
    std::int32_t waitShown = 0;     // 1 while the wait popup is installed by a long operation
    bool settingsRestored = false;  // the settings file was read at start-up
};
