// The version list: catalog releases first, then installed versions the catalog does not name, each
// with its state on this computer; the selected row supplies the release id of the buttons.
#pragma once

#include "client/client.hpp"
#include "foundation/json.hpp"

#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace tess {

// The rows in display order: catalog rows (a malformed one left out), then verified receipts.
std::vector<Json> collectVersionRows(const Client& client);
// The four column texts of one row (UTF-8).
std::array<std::string, 4> versionRowTexts(const Json& row, const std::string& activeReleaseId,
                                           const std::filesystem::path& installRoot);
// Index of the row to select: the last recommended one, else 0.
size_t preferredRow(const std::vector<Json>& rows);

void rebuildVersionList(HWND list, const Client& client, std::vector<Json>& rows);
std::string selectedReleaseId(HWND list, const std::vector<Json>& rows);

} // namespace tess
