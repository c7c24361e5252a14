// Runs one resumable download against the portal the program was built for, as the install does,
// and prints how long it took. Used by bench/download-bench.sh.
// usage: portal_download_tool API_PATH PARTIAL_FILE SIZE SHA256 TOKEN
// prints: "ok seconds=<s> before=<bytes present at start> after=<bytes present at the end>"
//     or: "error <message>" (exit code 1)
#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "portal/download.hpp"

#include <windows.h>

#include <cstdio>
#include <filesystem>

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        std::fputs("usage: portal_download_tool API_PATH PARTIAL_FILE SIZE SHA256 TOKEN\n", stderr);
        return 2;
    }
    const std::filesystem::path partial = argv[2];
    const auto present = [&] {
        std::error_code ignored;
        const auto size = std::filesystem::file_size(partial, ignored);
        return ignored ? 0 : size;
    };
    const tess::Json artifact = {{"size", std::stoull(argv[3])}, {"sha256", tess::toUtf8(argv[4])}};
    std::string token = tess::toUtf8(argv[5]);
    tess::Progress progress;
    const std::uintmax_t before = present();
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    try {
        tess::downloadArtifact(tess::toUtf8(argv[1]), partial, artifact, token, {}, progress);
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        return 1;
    }
    ::QueryPerformanceCounter(&end);
    std::printf("ok seconds=%.3f before=%llu after=%llu\n",
                static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
                static_cast<unsigned long long>(before), static_cast<unsigned long long>(present()));
    return 0;
}
