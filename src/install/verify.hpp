// The one judge of a program folder: exactly the signed package's files, unchanged, nothing else, and
// fit for productive use. Also the progress reporter that extraction and verification share.
#pragma once

#include "foundation/json.hpp"
#include "foundation/progress.hpp"
#include "trust/compact_manifest.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tess {

// The program files whose publisher signature is checked under the "required" policy, in order.
inline constexpr std::array<std::string_view, 4> mainExecutables = {
    "appTESSARO.exe", "tessaro-pdf.exe", "tessaro-session.exe", "collaboration/Corvalis.Collaboration.exe"};

// Throttled progress lines ("text (n / total Dateien): name") and the cancel test of package work.
class PackageProgress {
  public:
    PackageProgress(Progress* sink, CancelFlag extraCancel, const CompactManifest& manifest);

    // Throws "Abgebrochen. Vorhandene Installation bleibt erhalten." when either flag is set.
    void checkCancelled() const;
    void reportLine(std::string_view text, std::uint64_t bytesDone, std::uint64_t filesDone,
                    std::string_view currentPath, bool force, bool final);
    [[nodiscard]] CancelFlag sinkCancelFlag() const;

  private:
    Progress* sink_;
    CancelFlag extraCancel_;
    std::uint64_t totalBytes_;
    std::uint64_t totalFiles_;
    std::int64_t lastReport_ = 0;
};

// The package-path key both passes and the extraction compare: only A to Z are folded to lower case,
// so names that differ in the case of any other letter stay different.
std::wstring foldAsciiCase(std::wstring_view path);

// Throws on the first difference between the folder and the manifest, or when the package may not run
// productively here. Only reads the folder.
void verifyFiles(const std::filesystem::path& programDir, const CompactManifest& manifest, bool production,
                 bool offline, Progress* progress);
// The same for a manifest document, which is validated first and taken into the compact form once.
void verifyFiles(const std::filesystem::path& programDir, const Json& manifest, bool production, bool offline,
                 Progress* progress);

} // namespace tess
