// Linked into every test binary (never into TESSARO.exe) with --wrap=__imp__wstat64: Windows' msvcrt
// refuses any path containing "?" in its stat family, so the \\?\ form of a long path is "missing"
// there; Wine's msvcrt accepts it. MinGW's std::filesystem asks _wstat64, so without this a
// std::filesystem call on a long path would pass under Wine and fail for users.
#include <cerrno>
#include <cwchar>
#include <sys/stat.h>

extern "C" {

using Stat64 = int(__cdecl*)(const wchar_t*, struct _stat64*);
extern Stat64 __real___imp__wstat64;

static int __cdecl statLikeWindows(const wchar_t* path, struct _stat64* buffer) {
    if (path != nullptr && std::wcschr(path, L'?') != nullptr) {
        errno = ENOENT;
        return -1;
    }
    return __real___imp__wstat64(path, buffer);
}

Stat64 __wrap___imp__wstat64 = statLikeWindows;
}
