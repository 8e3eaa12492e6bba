// The command line of tecontrol.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Options {
    bool simulate = false;
    double speed = 1.0;
    bool startupProbe = false;
    bool dataFolder = false;
    bool reconnect = true;  // look for a lost controller to come back
    std::string uiDir;
    std::string screenshots;
    std::vector<std::pair<int, std::string>> ports;
    std::string serve;  // --serve's [ADDR:]PORT; "" when not given
};

// Parses the command line. Returns -1 to go on, or the exit code to end with
// (0 after --help or --version, 2 for a bad option, with a message on stderr).
int ParseOptions(int argc, char** argv, Options* o);

// "N=DEVICE" with N a decimal number from 1 to 65535 and a device path that is
// not empty. False, with *number and *device unchanged, otherwise.
bool ParsePortBinding(const std::string& binding, int* number, std::string* device);
