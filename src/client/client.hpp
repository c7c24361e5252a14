// tess::Client: the one engine object of a process. It owns the two per-user roots, the trust keys,
// the stored sign-in, the last catalog and the progress channel; its operations live in the
// subsystem folders that define them.
#pragma once

#include "foundation/json.hpp"
#include "foundation/progress.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace tess {

struct PortalResponse;

class Client {
  public:
    // Creates the private folders and loads the key set and the stored sign-in.
    Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    std::filesystem::path installRoot;
    std::filesystem::path dataRoot;
    Json trustKeys;
    Json credentials = Json::object();
    std::vector<Json> catalogReleases;
    Progress progress;

    // Operations; each is defined in the subsystem folder named beside it.
    // portal/:
    void acceptTokenResponse(const PortalResponse& response);
    [[nodiscard]] std::string accessToken(bool interactive);
    [[nodiscard]] std::string refreshAfterRejection();
    void signInWithBrowser();
    void loadCatalog(const std::string& channel);
    // install/:
    Json install(const std::string& releaseId);
    // launcher/:
    void updateLauncher();
    void setup(bool createDesktopShortcut);
    void uninstall();
};

} // namespace tess
