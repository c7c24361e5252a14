/* One WinHTTP GET, as the launcher makes it (no redirects, identity encoding), to prove
 * that a Wine prefix trusts the development portal's CA and to look at what WinHTTP
 * reports for an answer. Prints the status, ETag, Content-Length, Content-Range and
 * Location headers and the number of body bytes read; WinHTTP failures print
 * "error <stage> <code>" (a TLS failure is 12157 under Wine, 12175 on Windows).
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -static -o https-probe.exe \
 *            https-probe.c -lwinhttp
 * Usage: wine https-probe.exe URL ["Header: value"]...
 */
#include <windows.h>
#include <winhttp.h>
#include <stdio.h>
#include <stdlib.h>

static void header(HINTERNET req, DWORD id, const char* label) {
    wchar_t buf[512];
    DWORD size = sizeof(buf);
    if (WinHttpQueryHeaders(req, id, WINHTTP_HEADER_NAME_BY_INDEX, buf, &size, WINHTTP_NO_HEADER_INDEX))
        printf("%s: %ls\n", label, buf);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: https-probe URL [header-line]...\n");
        return 2;
    }
    URL_COMPONENTS uc = {0};
    wchar_t host[256], path[2048];
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = host;
    uc.dwHostNameLength = 256;
    uc.lpszUrlPath = path;
    uc.dwUrlPathLength = 2048;
    uc.dwExtraInfoLength = (DWORD)-1;
    if (!WinHttpCrackUrl(argv[1], 0, 0, &uc)) {
        printf("error crackurl %lu\n", GetLastError());
        return 1;
    }
    wchar_t object[4096];
    swprintf(object, 4096, L"%ls%ls", path, uc.lpszExtraInfo ? uc.lpszExtraInfo : L"");
    HINTERNET s = WinHttpOpen(L"https-probe", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, NULL, NULL, 0);
    if (!s)
        s = WinHttpOpen(L"https-probe", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, NULL, NULL, 0);
    HINTERNET c = s ? WinHttpConnect(s, host, uc.nPort, 0) : NULL;
    HINTERNET r = c ? WinHttpOpenRequest(c, L"GET", object, NULL, NULL, NULL,
                                         uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                    : NULL;
    if (!r) {
        printf("error open %lu\n", GetLastError());
        return 1;
    }
    DWORD never = 0;
    WinHttpSetOption(r, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never));
    wchar_t headers[4096] = L"Accept-Encoding: identity\r\n";
    for (int i = 2; i < argc; ++i) {
        if (wcslen(headers) + wcslen(argv[i]) + 3 > sizeof(headers) / sizeof(headers[0])) {
            fprintf(stderr, "headers too long\n");
            return 2;
        }
        wcscat(headers, argv[i]);
        wcscat(headers, L"\r\n");
    }
    if (!WinHttpSendRequest(r, headers, (DWORD)-1L, NULL, 0, 0, 0) || !WinHttpReceiveResponse(r, NULL)) {
        printf("error send %lu\n", GetLastError());
        return 1;
    }
    DWORD status = 0, size = sizeof(status);
    WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, NULL, &status, &size, NULL);
    printf("status: %lu\n", status);
    header(r, WINHTTP_QUERY_ETAG, "etag");
    header(r, WINHTTP_QUERY_CONTENT_LENGTH, "content-length");
    header(r, WINHTTP_QUERY_CONTENT_RANGE, "content-range");
    header(r, WINHTTP_QUERY_LOCATION, "location");
    unsigned long long total = 0;
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(r, buf, sizeof(buf), &got)) {
            printf("error read %lu after %llu\n", GetLastError(), total);
            return 1;
        }
        if (got == 0)
            break;
        total += got;
    }
    printf("body: %llu\n", total);
    WinHttpCloseHandle(r);
    WinHttpCloseHandle(c);
    WinHttpCloseHandle(s);
    return 0;
}
