// The COM ports the Wine harness gives a test program, one per scenario:
// NAME=COMn on the command line after GoogleTest's own options (see
// wine_harness.cmake, whose DEVICE entries play the devices).
#ifndef KESTRIN_TESTS_WINDOWS_COM_PORTS_H
#define KESTRIN_TESTS_WINDOWS_COM_PORTS_H

#include <cstdio>
#include <map>
#include <string>

inline std::map<std::string, std::string>& comPorts()
{
    static std::map<std::string, std::string> ports;
    return ports;
}

// Takes every argument as NAME=COMn; false, with a message, for one that is not.
inline bool readComPortArguments(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto equals = argument.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "expected NAME=COMn, got %s\n", argv[i]);
            return false;
        }
        comPorts()[argument.substr(0, equals)] = argument.substr(equals + 1);
    }
    return true;
}

// The scenario's port, or empty when the run did not give one.
inline std::string comPortFor(const std::string& scenario)
{
    const auto port = comPorts().find(scenario);
    return port == comPorts().end() ? std::string() : port->second;
}

#endif
