// Benchmark helper for bench/whole-install-bench.sh: one whole install as a user meets it, from a sign-in
// token of the development portal through Client::install to the switch and the version's confirmed
// start, in the given roots. Prints its wall time and peak memory as one JSON line, and on standard error
// when each phase (the text of a progress line before its counts) began.
//
//   whole_install_tool INSTALL_ROOT DATA_ROOT RELEASE_ID
#include "activation/switch.hpp"
#include "client/client.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "portal/http.hpp"

#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: whole_install_tool INSTALL_ROOT DATA_ROOT RELEASE_ID\n", stderr);
        return 2;
    }
    try {
        tess::Client client;
        client.installRoot = argv[1];
        client.dataRoot = argv[2];
        for (const std::filesystem::path& folder :
             {client.installRoot, client.dataRoot, client.dataRoot / L"downloads",
              client.dataRoot / L"receipts"})
            tess::ensurePrivateDirectory(folder);

        const auto started = std::chrono::steady_clock::now();
        std::string phase;
        client.progress.report = [&](const std::string& line, std::uint64_t, std::uint64_t) {
            const std::string text = line.substr(0, line.find(" ("));
            if (text == phase)
                return;
            phase = text;
            const double at =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::fprintf(stderr, "%8.2f s  %s\n", at, text.c_str());
        };
        client.acceptTokenResponse(tess::fetchPortal("/_dev/tokens", {}, "{}"));
        client.loadCatalog("stable");
        const tess::Json manifest = client.install(tess::toUtf8(argv[3]));
        std::uint32_t parentProcessId = 0;
        std::string desktopPipeName;
        tess::switchTo(client, manifest, parentProcessId, desktopPipeName);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        PROCESS_MEMORY_COUNTERS memory{};
        memory.cb = sizeof memory;
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
        std::printf("{\"seconds\":%.3f,\"peakWorkingSetBytes\":%llu}\n", seconds,
                    static_cast<unsigned long long>(memory.PeakWorkingSetSize));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
