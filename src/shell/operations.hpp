// The six operations the window runs on its background thread, each a fixed sequence of calls into
// the engine. They read the window's two check boxes while they run (disabled meanwhile).
#pragma once

#include "client/client.hpp"

#include <windows.h>

#include <string>

namespace tess {

void runStartupOperation(Client& client, HWND window);
void runSignInOperation(Client& client, HWND window);
void runLoadVersionsOperation(Client& client, HWND window);
void runInstallSequence(Client& client, HWND window, const std::string& releaseId);
void runStartOperation(Client& client, const std::string& releaseId);
void runUninstallOperation(Client& client);

} // namespace tess
