#include "portal/download_request.hpp"

#include "foundation/error.hpp"

namespace tess {

PortalRequest openDownloadRequest(const std::string& apiPath, std::wstring_view extraHeaders,
                                  std::string& token, const std::function<std::string()>& renew,
                                  std::int32_t& status, const PortalConnection* shared) {
    for (int attempt = 0;; ++attempt) {
        PortalRequest request = shared ? openPortalRequest(*shared, apiPath, token, {}, extraHeaders)
                                       : openPortalRequest(apiPath, token, {}, extraHeaders);
        status = queryStatus(request);
        if (status != 401 || attempt > 0)
            return request;
        token = renew();
    }
}

void refuseDownloadStatus(std::int32_t status) {
    switch (status) {
    case 403:
        throw Error("Keine Downloadberechtigung für diese Version.");
    case 410:
        throw Error("Diese Version wurde zurückgezogen.");
    case 429:
        throw Error("Übertragungslimit erreicht. Bitte später fortsetzen.");
    default:
        throw Error("Download nicht verfügbar. Bitte später fortsetzen.");
    }
}

} // namespace tess
