// Benchmark helper for bench/install-bench.sh: runs the product's extraction or tree verification once
// on a signed manifest and prints its own wall time and peak memory as one JSON line, with the working
// set once the manifest is parsed (what the operation starts from), how much reading and parsing the
// signed manifest added to it, and the peak up to then. "floor" measures what Wine itself
// costs a verification: every listed file opened, read, hashed and closed on as many threads as the
// product's pool has, with no check and no order.
//
//   bench_extract_tool extract ARCHIVE MANIFEST-ENVELOPE TARGET
//   bench_extract_tool verify FOLDER MANIFEST-ENVELOPE
//   bench_extract_tool floor FOLDER MANIFEST-ENVELOPE
#include "foundation/crypto.hpp"
#include "foundation/files.hpp"
#include "foundation/hash_workers.hpp"
#include "foundation/json.hpp"
#include "foundation/text.hpp"
#include "install/extract.hpp"
#include "install/verify.hpp"
#include "trust/compact_manifest.hpp"
#include "trust/envelope.hpp"

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace {

int usage() {
    std::fputs("usage: bench_extract_tool extract ARCHIVE MANIFEST TARGET\n"
               "       bench_extract_tool verify FOLDER MANIFEST\n"
               "       bench_extract_tool floor FOLDER MANIFEST\n",
               stderr);
    return 2;
}

tess::CompactManifest manifestFrom(const wchar_t* envelopeFile, const tess::Json& keys) {
    return tess::readCompactManifest(tess::verifiedPayload(tess::readWholeFile(envelopeFile), keys));
}

void hashListedFiles(const std::filesystem::path& folder, const tess::CompactManifest& manifest) {
    std::atomic<size_t> next{0};
    auto hashSome = [&] {
        tess::Sha256 hash;
        std::vector<char> buffer(65536);
        for (size_t i = next++; i < manifest.fileCount(); i = next++)
            tess::sha256FileHex(folder / tess::toWide(manifest.path(i)), hash, buffer, {}, {});
    };
    std::vector<std::jthread> pool;
    for (unsigned i = 0; i < tess::HashWorkers::threadCount(); ++i)
        pool.emplace_back(hashSome);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return usage();
    const std::wstring operation = argv[1];
    try {
        const bool onFolder = operation == L"verify" || operation == L"floor";
        if (!((operation == L"extract" && argc == 5) || (onFolder && argc == 4)))
            return usage();
        const tess::Json keys = tess::parse(tess::builtinTrustKeys);
        PROCESS_MEMORY_COUNTERS memory{};
        memory.cb = sizeof memory;
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
        const SIZE_T beforeManifestBytes = memory.WorkingSetSize;
        const tess::CompactManifest manifest = manifestFrom(argv[3], keys);
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
        const SIZE_T manifestBytes = memory.WorkingSetSize;
        const SIZE_T manifestPeakBytes = memory.PeakWorkingSetSize;
        auto started = std::chrono::steady_clock::now();
        if (operation == L"extract") {
            std::atomic<bool> cancel{false};
            tess::extractArchive(argv[2], argv[4], manifest, cancel, nullptr);
        } else if (operation == L"verify") {
            tess::verifyFiles(argv[2], manifest, true, false, nullptr);
        } else {
            hashListedFiles(argv[2], manifest);
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
        std::printf("{\"operation\":\"%s\",\"seconds\":%.3f,\"peakWorkingSetBytes\":%llu,"
                    "\"peakPagefileBytes\":%llu,\"manifestWorkingSetBytes\":%llu,"
                    "\"manifestGrowthBytes\":%llu,\"manifestPeakWorkingSetBytes\":%llu}\n",
                    tess::toUtf8(operation).c_str(), seconds,
                    static_cast<unsigned long long>(memory.PeakWorkingSetSize),
                    static_cast<unsigned long long>(memory.PeakPagefileUsage),
                    static_cast<unsigned long long>(manifestBytes),
                    static_cast<unsigned long long>(manifestBytes - beforeManifestBytes),
                    static_cast<unsigned long long>(manifestPeakBytes));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
