// The host's download service: WinINet fetches the URL and the body goes into the
// destination file, with a progress line on the console.
#include "hostlib/download.h"

#include <wininet.h>

#include <cstdio>

namespace hostlib {

// How long a connection attempt or a silent server may take before the download fails.
static const DWORD kTimeoutMs = 30000;
// A progress line is on the console and not yet ended.
static bool line_open = false;

static void ShowBytes(const char* status, DWORD received, DWORD total, bool known)
{
    if (known && total > 0)
        printf("\r%s: %lu of %lu bytes (%lu%%) ", status, (unsigned long)received, (unsigned long)total,
               (unsigned long)((unsigned long long)received * 100 / total));
    else
        printf("\r%s: %lu bytes ", status, (unsigned long)received);
    fflush(stdout);
    line_open = true;
}

static int Fail(const char* status, const char* why, DWORD detail)
{
    printf("%s%s: failed, %s %lu\n", line_open ? "\n" : "", status, why, (unsigned long)detail);
    line_open = false;
    fflush(stdout);
    return 1;
}

// Copies the body of an answered request into target. Returns 0 when all of it arrived.
static int SaveBody(HINTERNET request, const char* target, const char* status)
{
    DWORD total = 0, size = sizeof(total);
    bool known = HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &total, &size, nullptr);

    HANDLE file = CreateFileA(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(status, "cannot write the file, error", GetLastError());

    DWORD received = 0, shown = GetTickCount();
    char buffer[16384];
    int result = 0;
    for (;;) {
        DWORD n = 0, written = 0;
        if (!InternetReadFile(request, buffer, sizeof(buffer), &n)) {
            result = Fail(status, "connection lost, error", GetLastError());
            break;
        }
        if (n == 0)
            break;
        if (!WriteFile(file, buffer, n, &written, nullptr) || written != n) {
            result = Fail(status, "cannot write the file, error", GetLastError());
            break;
        }
        received += n;
        if (GetTickCount() - shown >= 100) {
            ShowBytes(status, received, total, known);
            shown = GetTickCount();
        }
    }
    CloseHandle(file);
    if (result == 0) {
        ShowBytes(status, received, total, known);
        if (known && received != total) {
            result = Fail(status, "short body, bytes missing:", total - received);
        } else {
            printf("\n");
            line_open = false;
        }
    }
    // What was written is incomplete: remove it rather than leave a broken file behind.
    if (result != 0)
        DeleteFileA(target);
    return result;
}

int __cdecl Download(HWND, const char* url, const char* target, const char* status)
{
    printf("%s: %s\n", status, url);
    HINTERNET session = InternetOpenA("Tessarin stand-in player", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr)
        return Fail(status, "no Internet session, error", GetLastError());
    DWORD timeout = kTimeoutMs;
    InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));

    int result = 1;
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH;
    HINTERNET request = InternetOpenUrlA(session, url, nullptr, 0, flags, 0);
    if (request == nullptr) {
        Fail(status, "cannot connect, error", GetLastError());
    } else {
        DWORD code = 0, size = sizeof(code);
        if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
            Fail(status, "not an HTTP answer, error", GetLastError());
        else if (code != HTTP_STATUS_OK)
            Fail(status, "the server answered", code);
        else
            result = SaveBody(request, target, status);
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return result;
}

} // namespace hostlib
