#include "client/client.hpp"

#include "foundation/paths.hpp"
#include "portal/credentials.hpp"
#include "trust/envelope.hpp"

namespace tess {

Client::Client() : installRoot(installRootPath()), dataRoot(dataRootPath()) {
    ensurePrivateDirectory(installRoot);
    ensurePrivateDirectory(dataRoot);
    ensurePrivateDirectory(dataRoot / L"downloads");
    ensurePrivateDirectory(dataRoot / L"receipts");
    trustKeys = parse(builtinTrustKeys);
    credentials = loadStoredCredentials(dataRoot);
}

} // namespace tess
