// tecctl's command line: one set of options, one command, its arguments.
// Pure: the tests and the fuzzers parse without a port.
#pragma once

#include "protocol/registers.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tecctl {

// Exit statuses.
enum Exit : int {
    EXIT_OK = 0,
    EXIT_USAGE = 2,
    EXIT_PORT = 3,       // the port cannot be opened
    EXIT_SILENT = 4,     // no answer, or identification refused
    EXIT_REFUSED = 5,    // the controller refused a value
    EXIT_FILE = 6,       // a file is malformed (nothing sent)
    EXIT_INTERRUPTED = 7, // a signal stopped a write part way (the message says what went out)
};

struct Options {
    // Connection. Without portNumber and portDevice the settings file decides.
    int portNumber = 0;        // --port N
    std::string portDevice;    // --port DEVICE (a path)
    int address = -1;          // --address A (1..255)
    long baud = 0;             // --baud B
    bool simulate = false;
    bool json = false;
    bool help = false;
    bool version = false;

    std::string command;            // identify, read, get, set, save, load, program, function, output, watch, raw
    std::vector<std::string> args;  // the command's arguments (watch options taken out)

    // watch
    double interval = 1.0;
    long count = 0;                 // 0: until interrupted
    std::string logPath;
    bool append = false;
};

// Parses argv[1..]. False with a one-line reason on any usage error.
bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error);

// One NAME=VALUE of `set`, resolved against the register map.
struct Assignment {
    const tecreg::NamedParameter* param = nullptr;
    double value = 0;
};
// Parses "sv=25.5"; false with a reason for an unknown name or a value that
// is not a finite number (codes and integers must be whole).
bool ParseAssignment(const std::string& text, Assignment* out, std::string* error);
// A control function by name ("off", "autotune", "manual", "pid") or number.
bool ParseFunction(const std::string& text, int* code);
// "01 03 10 00 00 01" (6 bytes; 8 with a CRC, which is recomputed). Each
// byte two hex digits, optionally with 0x.
bool ParseRawFrame(const std::vector<std::string>& words, std::uint8_t frame[6], std::string* error);

extern const char* const kUsage;

} // namespace tecctl
