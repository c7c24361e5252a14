// The reference of the download benchmark: opens the same request as the program's download (same
// portal, same WinHTTP session settings) and only reads the body through a 1 MiB buffer, writing and
// hashing nothing. Used by bench/download-bench.sh.
// usage: winhttp_read_tool API_PATH TOKEN
// prints: "ok seconds=<s> bytes=<n>" or "error <message>" (exit code 1)
#include "foundation/text.hpp"
#include "portal/download.hpp"
#include "portal/http.hpp"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <memory>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: winhttp_read_tool API_PATH TOKEN\n", stderr);
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    unsigned long long total = 0;
    try {
        const tess::PortalRequest request =
            tess::openPortalRequest(tess::toUtf8(argv[1]), tess::toUtf8(argv[2]), {}, {});
        if (const std::int32_t status = tess::queryStatus(request); status != 200) {
            std::printf("error status %d\n", static_cast<int>(status));
            return 1;
        }
        const auto buffer = std::make_unique<char[]>(tess::downloadBufferBytes);
        for (;;) {
            DWORD got = 0;
            if (!::WinHttpReadData(request.request.get(), buffer.get(), tess::downloadBufferBytes, &got)) {
                std::printf("error read failed after %llu bytes\n", total);
                return 1;
            }
            if (got == 0)
                break;
            total += got;
        }
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        return 1;
    }
    ::QueryPerformanceCounter(&end);
    std::printf("ok seconds=%.3f bytes=%llu\n",
                static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
                total);
    return 0;
}
