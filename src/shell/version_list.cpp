#include "shell/version_list.hpp"

#include "activation/launch.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "install/receipts.hpp"
#include "trust/manifest.hpp"

#include <commctrl.h>

#include <set>

namespace tess {
namespace fs = std::filesystem;
namespace {

// A catalog row the list can show: string ids, version and build, a channel, a bool recommendation.
bool isDisplayableCatalogRow(const Json& row) {
    auto isString = [&row](const char* name) {
        return row.contains(name) && row[name].is_string();
    };
    return row.is_object() && isString("releaseId") && isString("version") && isString("buildId") &&
           row.contains("channel") && (!row.contains("recommended") || row["recommended"].is_boolean());
}

void setItemText(HWND list, int item, int column, const std::string& text) {
    std::wstring wide = toWide(text);
    LVITEMW entry{};
    entry.iSubItem = column;
    entry.pszText = wide.data();
    ::SendMessageW(list, LVM_SETITEMTEXTW, item, reinterpret_cast<LPARAM>(&entry));
}

} // namespace

std::vector<Json> collectVersionRows(const Client& client) {
    std::vector<Json> rows;
    std::set<std::string> catalogIds;
    for (const Json& release : client.catalogReleases) {
        // A malformed catalog row is left out like a damaged receipt instead of hiding every
        // installed version behind a failed rebuild.
        if (!isDisplayableCatalogRow(release))
            continue;
        rows.push_back(release);
        catalogIds.insert(release["releaseId"].get<std::string>());
    }
    for (const TreeEntry& entry : listFolder(client.dataRoot / L"receipts")) {
        try {
            std::string id = toUtf8(entry.path.stem().native());
            if (!isUuidText(id) || catalogIds.contains(id))
                continue;
            Json manifest = loadReceipt(client, id);
            rows.push_back({{"releaseId", id},
                            {"version", manifest.at("version").get<std::string>()},
                            {"buildId", manifest.at("buildId").get<std::string>()},
                            {"channel", manifest.at("channel").get<std::string>()}});
        } catch (const std::exception&) {
            // A damaged or foreign receipt does not show up.
        }
    }
    return rows;
}

std::array<std::string, 4> versionRowTexts(const Json& row, const std::string& activeReleaseId,
                                           const fs::path& installRoot) {
    const std::string releaseId = row.at("releaseId").get<std::string>();
    std::string version = row.at("version").get<std::string>();
    if (row.value("recommended", false))
        version += " (empfohlen)";
    const Json& channel = row.at("channel");
    std::string place = "Zum Download";
    if (releaseId == activeReleaseId)
        place = "Ausgewählt";
    else if (pathExists(installRoot / L"releases" / toWide(releaseId)))
        place = "Installiert";
    return {version, row.at("buildId").get<std::string>(),
            channel.is_string() && channel.get<std::string>() == "snapshot" ? "Snapshot" : "Freigegeben",
            place};
}

size_t preferredRow(const std::vector<Json>& rows) {
    size_t selected = 0;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].value("recommended", false))
            selected = i;
    return selected;
}

void rebuildVersionList(HWND list, const Client& client, std::vector<Json>& rows) {
    ::SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    rows = collectVersionRows(client);
    // A damaged current.json selects nothing; the start-up operation says so.
    const std::string active = readCurrentDocument(client).content.value("active", std::string());
    for (size_t i = 0; i < rows.size(); ++i) {
        auto texts = versionRowTexts(rows[i], active, client.installRoot);
        std::wstring version = toWide(texts[0]);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = version.data();
        int index =
            static_cast<int>(::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        for (int column = 1; column < 4; ++column)
            setItemText(list, index, column, texts[column]);
    }
    if (rows.empty())
        return;
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list, LVM_SETITEMSTATE, preferredRow(rows), reinterpret_cast<LPARAM>(&state));
}

std::string selectedReleaseId(HWND list, const std::vector<Json>& rows) {
    auto index =
        static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    require(index >= 0 && static_cast<size_t>(index) < rows.size(), "Bitte eine Version auswählen.");
    return rows[index].at("releaseId").get<std::string>();
}

} // namespace tess
