// The build-time settings of a launcher: portal address, trust anchors, expected publisher, own version
// and how long it waits for other parties. Each launcher variant defines them in its own settings unit
// (generated from build_settings.cpp.in); nothing of this is read at run time.
#pragma once

#include <cstdint>
#include <string_view>

namespace tess::build {

extern const std::string_view portalBaseAddress;
extern const std::string_view expectedPublisher;
extern const std::string_view launcherVersion;
extern const std::string_view trustKeysText;

// Time-outs for answers from the browser, the started version and the test application's preflight.
struct Waits {
    std::uint32_t signInMs;          // the browser sign-in waiting for its callback
    std::uint32_t startupConnectMs;  // a started version connecting to the startup pipe
    std::uint32_t startupMessageMs;  // its start-up message once connected
    std::uint32_t applicationExitMs; // the running version ending after it approved a switch
    std::uint32_t preflightMs;       // the preflight of the version to start
};

inline constexpr Waits productWaits{300000, 90000, 15000, 120000, 15000};

// The product's waits; a test variant's settings unit may hand out shorter ones.
const Waits& waits();

// What watches the program's changes of the disk and the registry: nothing in the product. A test
// variant built to end itself at one chosen change takes that change's number from its environment
// here, once at start, and removes it there so that no process it starts inherits it.
using ChangeWatch = void (*)(std::uint64_t number, const char* call, const wchar_t* target);
ChangeWatch changeWatch();

} // namespace tess::build
