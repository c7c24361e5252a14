// Helpers shared by the portal client's tests: the text of a tess::Error, and a client whose data
// folder is a scratch folder so tests never touch (or depend on) the prefix's real sign-in.
#pragma once

#include "client/client.hpp"
#include "foundation/error.hpp"
#include "portal/devportal.hpp"
#include "support/test_support.hpp"

#include <functional>
#include <string>

namespace tess::test {

// The message of the tess::Error the action throws, "(no error)" when it returns.
inline std::string errorText(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

struct ScratchClient {
    ScratchClient() {
        client.dataRoot = folder.path();
        client.credentials = Json::object();
    }
    ScratchFolder folder;
    Client client;
};

} // namespace tess::test
