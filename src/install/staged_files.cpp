#include "install/staged_files.hpp"

#include "foundation/disk.hpp"
#include "foundation/error.hpp"

#include <chrono>
#include <optional>
#include <utility>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr std::chrono::milliseconds hashWait{100};

} // namespace

StagedFiles::StagedFiles(CancelFlag cancel, std::uint64_t files, std::uint64_t bytes)
    : workers_({cancel}, HashWorkers::poolFor(files, bytes, true)) {}

void StagedFiles::add(fs::path file, FileHandle written, const Json& listed) {
    while (workers_.full())
        takeOldest();
    pending_.push_back({file, &listed});
    workers_.add(std::move(file), std::move(written));
}

std::vector<const Json*> StagedFiles::settle() {
    while (!pending_.empty())
        takeOldest();
    return std::exchange(mismatched_, {});
}

// The result and its record leave their queues together, before anything about them is checked.
void StagedFiles::takeOldest() {
    std::optional<FileHash> hash = workers_.takeOldest(hashWait);
    if (!hash)
        return;
    const Pending file = std::move(pending_.front());
    pending_.pop_front();
    require(!hash->flushFailed, "ZIP-Daten beschädigt oder Speicher voll.");
    if (hash->error)
        std::rethrow_exception(hash->error);
    if (hash->sha256 == file.listed->at("sha256").get_ref<const std::string&>())
        return;
    removeEntry(file.file);
    mismatched_.push_back(file.listed);
}

} // namespace tess
