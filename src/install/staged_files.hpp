// Files just written into a staging folder whose content is not proven yet. Each is flushed and hashed
// from the disk on a worker thread while the caller writes the next one; results come back in the order
// the files were added, and a file whose hash is not its manifest entry's is removed again.
#pragma once

#include "foundation/handles.hpp"
#include "foundation/hash_workers.hpp"
#include "foundation/json.hpp"
#include "foundation/progress.hpp"

#include <deque>
#include <filesystem>
#include <vector>

namespace tess {

class StagedFiles {
  public:
    // files and bytes: of the package, which the hash pool is made for.
    StagedFiles(CancelFlag cancel, std::uint64_t files, std::uint64_t bytes);

    // A file the caller wrote and still holds open; listed is its manifest entry.
    void add(std::filesystem::path file, FileHandle written, const Json& listed);
    // Waits for every result. Returns the manifest entries whose files did not hash right (those files
    // are gone); throws "ZIP-Daten beschädigt oder Speicher voll." when a flush failed and passes a
    // hashing error (a cancel among them) on.
    [[nodiscard]] std::vector<const Json*> settle();

  private:
    struct Pending {
        std::filesystem::path file;
        const Json* listed;
    };
    void takeOldest();

    std::deque<Pending> pending_;
    std::vector<const Json*> mismatched_;
    HashWorkers workers_; // after everything its threads read: stopped and joined first
};

} // namespace tess
