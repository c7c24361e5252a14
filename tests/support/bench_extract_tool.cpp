// Benchmark helper for bench/install-bench.sh: runs the product's extraction or tree verification once
// on a signed manifest and prints its own wall time (from reading the envelope on) and peak memory as one
// JSON line, with the parse's own time, the working set once the manifest is parsed, how much reading and
// parsing the signed manifest added to it, and the peak up to then. "floor" measures what Wine itself
// costs a verification: every listed file opened, read, hashed and closed on THREADS threads with the
// product's hash object, buffer size and open flags, with no check and no order.
//
//   bench_extract_tool extract ARCHIVE MANIFEST-ENVELOPE TARGET
//   bench_extract_tool verify FOLDER MANIFEST-ENVELOPE
//   bench_extract_tool floor FOLDER MANIFEST-ENVELOPE THREADS
#include "foundation/crypto.hpp"
#include "foundation/files.hpp"
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
               "       bench_extract_tool floor FOLDER MANIFEST THREADS\n",
               stderr);
    return 2;
}

tess::CompactManifest manifestFrom(const wchar_t* envelopeFile, const tess::Json& keys) {
    return tess::readCompactManifest(tess::verifiedPayload(tess::readWholeFile(envelopeFile), keys));
}

void hashListedFiles(const std::filesystem::path& folder, const tess::CompactManifest& manifest,
                     unsigned threads) {
    std::atomic<size_t> next{0};
    auto hashSome = [&] {
        tess::Sha256 hash;
        std::vector<char> buffer(65536);
        for (size_t i = next++; i < manifest.fileCount(); i = next++)
            tess::sha256FileHex(folder / tess::toWide(manifest.path(i)), hash, buffer, {}, {});
    };
    std::vector<std::jthread> pool;
    for (unsigned i = 0; i < threads; ++i)
        pool.emplace_back(hashSome);
}

PROCESS_MEMORY_COUNTERS memoryNow() {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    return memory;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return usage();
    const std::wstring operation = argv[1];
    try {
        if (!((operation == L"extract" && argc == 5) || (operation == L"verify" && argc == 4) ||
              (operation == L"floor" && argc == 5)))
            return usage();
        // The clock covers what the user waits for: the envelope check and the manifest's parse (its
        // validation is part of the work), then the work itself; the parse is also a figure of its own.
        const tess::Json keys = tess::parse(tess::builtinTrustKeys);
        const SIZE_T beforeEnvelope = memoryNow().WorkingSetSize;
        const auto started = std::chrono::steady_clock::now();
        const tess::CompactManifest manifest = manifestFrom(argv[3], keys);
        const double parseSeconds = secondsSince(started);
        const PROCESS_MEMORY_COUNTERS parsed = memoryNow();
        if (operation == L"extract") {
            std::atomic<bool> cancel{false};
            tess::extractArchive(argv[2], argv[4], manifest, cancel, nullptr);
        } else if (operation == L"verify") {
            tess::verifyFiles(argv[2], manifest, true, false, nullptr);
        } else {
            hashListedFiles(argv[2], manifest, static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10)));
        }
        const double seconds = secondsSince(started);
        const PROCESS_MEMORY_COUNTERS memory = memoryNow();
        std::printf(
            "{\"operation\":\"%s\",\"seconds\":%.3f,\"parseSeconds\":%.3f,\"peakWorkingSetBytes\":%llu,"
            "\"peakPagefileBytes\":%llu,\"manifestWorkingSetBytes\":%llu,\"manifestGrowthBytes\":%lld,"
            "\"manifestPeakWorkingSetBytes\":%llu}\n",
            tess::toUtf8(operation).c_str(), seconds, parseSeconds,
            static_cast<unsigned long long>(memory.PeakWorkingSetSize),
            static_cast<unsigned long long>(memory.PeakPagefileUsage),
            static_cast<unsigned long long>(parsed.WorkingSetSize),
            static_cast<long long>(parsed.WorkingSetSize) - static_cast<long long>(beforeEnvelope),
            static_cast<unsigned long long>(parsed.PeakWorkingSetSize));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
