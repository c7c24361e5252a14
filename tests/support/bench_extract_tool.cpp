// Benchmark helper for bench/install-bench.sh: runs the product's extraction or tree verification once
// on a signed manifest and prints its own wall time (from reading the envelope on) and peak memory as one
// JSON line, with the parse's own time, the working set once the manifest is parsed and how much the
// parse added to it. "floor" measures what Wine itself
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

tess::Json manifestFrom(const wchar_t* envelopeFile) {
    return tess::verifyEnvelope(tess::readWholeFile(envelopeFile), tess::parse(tess::builtinTrustKeys));
}

void hashListedFiles(const std::filesystem::path& folder, const tess::Json& files, unsigned threads) {
    std::atomic<size_t> next{0};
    auto hashSome = [&] {
        tess::Sha256 hash;
        std::vector<char> buffer(65536);
        for (size_t i = next++; i < files.size(); i = next++)
            tess::sha256FileHex(folder / tess::toWide(files[i].at("path").get<std::string>()), hash, buffer,
                                {}, {});
    };
    std::vector<std::jthread> pool;
    for (unsigned i = 0; i < threads; ++i)
        pool.emplace_back(hashSome);
}

SIZE_T workingSetBytes() {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    return memory.WorkingSetSize;
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
        const SIZE_T beforeEnvelope = workingSetBytes();
        const auto started = std::chrono::steady_clock::now();
        tess::Json manifest = manifestFrom(argv[3]);
        const double parseSeconds = secondsSince(started);
        const SIZE_T manifestBytes = workingSetBytes();
        if (operation == L"extract") {
            std::atomic<bool> cancel{false};
            tess::extractArchive(argv[2], argv[4], manifest, cancel, nullptr);
        } else if (operation == L"verify") {
            tess::verifyFiles(argv[2], manifest, true, false, nullptr);
        } else {
            hashListedFiles(argv[2], manifest.at("files"),
                            static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10)));
        }
        const double seconds = secondsSince(started);
        PROCESS_MEMORY_COUNTERS memory{};
        memory.cb = sizeof memory;
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
        std::printf(
            "{\"operation\":\"%s\",\"seconds\":%.3f,\"parseSeconds\":%.3f,\"peakWorkingSetBytes\":%llu,"
            "\"peakPagefileBytes\":%llu,\"manifestWorkingSetBytes\":%llu,\"manifestGrowthBytes\":%lld}\n",
            tess::toUtf8(operation).c_str(), seconds, parseSeconds,
            static_cast<unsigned long long>(memory.PeakWorkingSetSize),
            static_cast<unsigned long long>(memory.PeakPagefileUsage),
            static_cast<unsigned long long>(manifestBytes),
            static_cast<long long>(manifestBytes) - static_cast<long long>(beforeEnvelope));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
