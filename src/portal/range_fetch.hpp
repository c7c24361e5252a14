// Parts of one signed download fetched by range. An answer counts only when it is exactly the bytes
// asked for, of the file the signed SHA-256 names (If-Range and ETag on every request); anything else
// is reported as "not a range", so the caller can fetch the whole file instead. Failures that a whole
// download would meet as well (no permission, withdrawn, transfer limit, a broken transfer, a cancel)
// are thrown with the download's messages. Nothing here writes to the disk.
#pragma once

#include "foundation/json.hpp"
#include "foundation/progress.hpp"
#include "portal/download.hpp"
#include "portal/http.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tess {

// The requests one install may make for parts of its archive.
inline constexpr unsigned maxRangeRequests = 256;

// Where ranges of an archive come from: the portal, or in tests a file.
class RangeSource {
  public:
    virtual ~RangeSource() = default;
    // Starts the range [first, last] (inclusive; last below the file's size). False when the answer is
    // not exactly that range of the signed file.
    [[nodiscard]] virtual bool open(std::uint64_t first, std::uint64_t last) = 0;
    // The next bytes of the open range, at most capacity; 0 once the range is complete. Throws when the
    // answer breaks off early or the operation is cancelled.
    [[nodiscard]] virtual std::uint32_t read(char* buffer, std::uint32_t capacity) = 0;
    // The bytes still to come in the requests planned so far, for progress (the plan grows as the
    // archive's directory is known).
    virtual void expect(std::uint64_t bytes) = 0;
    [[nodiscard]] virtual unsigned requestsLeft() const = 0;
};

class PortalRanges final : public RangeSource {
  public:
    // artifact: {"size", "sha256"}. renew is called for one 401 in all; a second is refused.
    PortalRanges(std::string apiPath, const Json& artifact, std::string& token,
                 std::function<std::string()> renew, Progress& progress, BodyReader read = readWinHttpBody);

    [[nodiscard]] bool open(std::uint64_t first, std::uint64_t last) override;
    [[nodiscard]] std::uint32_t read(char* buffer, std::uint32_t capacity) override;
    void expect(std::uint64_t bytes) override;
    [[nodiscard]] unsigned requestsLeft() const override;

  private:
    [[nodiscard]] bool isExactRange(const PortalRequest& request, std::uint64_t first,
                                    std::uint64_t last) const;
    std::string renewOnce();
    void reportProgress(bool force);

    std::string apiPath_;
    std::uint64_t size_;
    std::string sha256_;
    std::string& token_;
    std::function<std::string()> renew_;
    bool renewed_ = false;
    Progress& progress_;
    BodyReader read_;
    // Every request goes over one kept-alive connection; a request is closed before its connection.
    std::optional<PortalConnection> connection_;
    std::optional<PortalRequest> request_;
    std::uint64_t remaining_ = 0;
    unsigned requests_ = 0;
    std::uint64_t fetched_ = 0;
    std::uint64_t expected_ = 0;
    std::chrono::steady_clock::time_point lastReport_{};
};

} // namespace tess
