#include "portal/range_fetch.hpp"

#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "portal/download_request.hpp"

#include <algorithm>

namespace tess {
namespace {

constexpr char paused[] = "Download pausiert. Er kann später fortgesetzt werden.";
constexpr char interrupted[] = "Download unterbrochen. Er kann später fortgesetzt werden.";
constexpr std::chrono::milliseconds reportInterval{100};

bool isMultipart(std::string contentType) {
    std::transform(contentType.begin(), contentType.end(), contentType.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return contentType.starts_with("multipart/");
}

} // namespace

PortalRanges::PortalRanges(std::string apiPath, const Json& artifact, std::string& token,
                           std::function<std::string()> renew, Progress& progress, BodyReader read)
    : apiPath_(std::move(apiPath)), size_(artifact.at("size").get<std::uint64_t>()),
      sha256_(artifact.at("sha256").get<std::string>()), token_(token), renew_(std::move(renew)),
      progress_(progress), read_(std::move(read)) {}

// One spare request is kept for the one token renewal an install may need.
unsigned PortalRanges::requestsLeft() const {
    const unsigned reserved = requests_ + (renewed_ ? 0 : 1);
    return reserved >= maxRangeRequests ? 0 : maxRangeRequests - reserved;
}

bool PortalRanges::open(std::uint64_t first, std::uint64_t last) {
    request_.reset();
    remaining_ = 0;
    if (first > last || last >= size_ || requests_ >= maxRangeRequests)
        return false;
    // The archive's end is asked for as a suffix, every other part by its first and last byte.
    const std::wstring range = last == size_ - 1 && first > 0
                                   ? L"-" + std::to_wstring(last - first + 1)
                                   : std::to_wstring(first) + L"-" + std::to_wstring(last);
    const std::wstring headers = L"Range: bytes=" + range + L"\r\nIf-Range: \"" + toWide(sha256_) + L"\"\r\n";
    ++requests_;
    if (!connection_)
        connection_ = openPortalConnection();
    std::int32_t status = 0;
    PortalRequest request = openDownloadRequest(
        apiPath_, headers, token_, [this] { return renewOnce(); }, status, &*connection_);
    if (status == 200 || status == 416)
        return false;
    if (status != 206)
        refuseDownloadStatus(status);
    if (!isExactRange(request, first, last))
        return false;
    request_ = std::move(request);
    remaining_ = last - first + 1;
    return true;
}

bool PortalRanges::isExactRange(const PortalRequest& request, std::uint64_t first, std::uint64_t last) const {
    return queryHeader(request, WINHTTP_QUERY_ETAG) == "\"" + sha256_ + "\"" &&
           queryHeader(request, WINHTTP_QUERY_CONTENT_RANGE) ==
               "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size_) &&
           queryHeader(request, WINHTTP_QUERY_CONTENT_LENGTH) == std::to_string(last - first + 1) &&
           !isMultipart(queryHeader(request, WINHTTP_QUERY_CONTENT_TYPE));
}

std::uint32_t PortalRanges::read(char* buffer, std::uint32_t capacity) {
    if (remaining_ == 0)
        return 0;
    // Before every read: what was read before a cancel is still written whole.
    require(!progress_.cancelled.load(), paused);
    const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, remaining_));
    std::uint32_t got = 0;
    // A connection that ends early ends WinHttpReadData with 0 bytes, not with an error.
    require(read_(*request_, buffer, wanted, got) && got > 0, interrupted);
    require(got <= wanted, "Download größer als signierte Paketgröße.");
    remaining_ -= got;
    fetched_ += got;
    if (remaining_ == 0)
        request_.reset();
    reportProgress(remaining_ == 0);
    return got;
}

void PortalRanges::expect(std::uint64_t bytes) {
    expected_ = fetched_ + bytes;
    reportProgress(true);
}

std::string PortalRanges::renewOnce() {
    if (renewed_)
        refuseDownloadStatus(401);
    renewed_ = true;
    ++requests_;
    return renew_();
}

void PortalRanges::reportProgress(bool force) {
    if (!progress_.report)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < reportInterval)
        return;
    lastReport_ = now;
    progress_.report("Software wird heruntergeladen …", fetched_, std::max(expected_, fetched_));
}

} // namespace tess
