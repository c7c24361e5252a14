#include "portal/catalog_fetch.hpp"

#include "client/client.hpp"
#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/text.hpp"
#include "portal/http.hpp"
#include "trust/catalog.hpp"
#include "trust/envelope.hpp"

#include <ctime>

namespace tess {

std::filesystem::path catalogStatePath(const std::filesystem::path& dataRoot) {
    return dataRoot / L"catalog-state.json";
}

StateDocument readCatalogState(const std::filesystem::path& dataRoot) {
    static constexpr MemberRule members[] = {{"snapshot", MemberType::number},
                                             {"snapshotHash", MemberType::text},
                                             {"stable", MemberType::number},
                                             {"stableHash", MemberType::text}};
    return readStateDocument(catalogStatePath(dataRoot), members);
}

std::filesystem::path cachedCatalogPath(const std::filesystem::path& dataRoot, const std::string& channel) {
    return dataRoot / toWide(channel + "-catalog.json");
}

void Client::loadCatalog(const std::string& channel) {
    require(channel == "stable" || channel == "snapshot", "Ungültiger Kanal.");
    const std::string token = accessToken(false);
    const PortalResponse response =
        fetchPortal("/account-api/v1/software/catalog/win-x64/" + channel, token, {});
    if (response.status == 403)
        throw Error("Keine Snapshotfreigabe für dieses Konto.");
    require(response.status == 200, "Versionskatalog momentan nicht verfügbar.");

    const Json catalog = verifyEnvelope(response.body, trustKeys);
    // A damaged state holds no generation anyone could rely on, so the load goes on as without one; the
    // document is set aside only when its replacement is written.
    const StateDocument stored = readCatalogState(dataRoot);
    Json state = stored.content;
    const std::int64_t lastGeneration = state.value(channel, std::int64_t{0});
    validateCatalog(catalog, channel, lastGeneration, static_cast<std::int64_t>(std::time(nullptr)));
    if (catalog.value("testOnly", false))
        throw Error("Testkatalog ist nicht für die Produktion bestimmt.");

    const std::string newHash = sha256Hex(response.body);
    const std::string lastHash = state.value(channel + "Hash", std::string());
    require(catalog.at("generation").get<std::int64_t>() != lastGeneration || lastHash.empty() ||
                lastHash == newHash,
            "Katalog wurde ohne neue Generation verändert.");

    // Built aside first: catalogReleases changes only once everything else has succeeded.
    std::vector<Json> releases;
    for (const Json& entry : catalog.at("releases")) {
        const bool isRecommended = entry.at("releaseId") == catalog.value("recommendedReleaseId", Json());
        Json release = entry;
        release["channel"] = channel;
        release["recommended"] = isRecommended;
        releases.push_back(std::move(release));
    }

    state[channel] = catalog.at("generation");
    state[channel + "Hash"] = newHash;
    if (stored.damaged())
        setAsideDamagedDocument(stored.path);
    writeFileDurably(stored.path, dumpCompact(state));
    writeFileDurably(cachedCatalogPath(dataRoot, channel), response.body);
    catalogReleases = std::move(releases);
    if (progress.report)
        progress.report("Verfügbare Versionen geladen.", 0, 0);
}

} // namespace tess
