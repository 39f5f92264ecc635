// Plays the end of a Windows session to a running korvat-server.exe: asks its hidden window
// whether the session may end, tells it that it ends, and then ends its process at once, as
// Windows does at a logoff ("logoff") or a shutdown ("shutdown"): whatever the program did not
// finish while handling WM_ENDSESSION never happens. Exit status 0 when the window agreed and
// was told.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    if (argc != 2 || (std::strcmp(argv[1], "logoff") != 0 && std::strcmp(argv[1], "shutdown") != 0)) {
        std::fprintf(stderr, "usage: win_end_session logoff|shutdown\n");
        return 64;
    }
    const LPARAM why = std::strcmp(argv[1], "logoff") == 0 ? LPARAM(ENDSESSION_LOGOFF) : 0;
    const HWND window = FindWindowW(L"KorvatServerSession", nullptr);
    if (!window) {
        std::fprintf(stderr, "win_end_session: no window of class KorvatServerSession\n");
        return 1;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    DWORD_PTR mayEnd = 0, done = 0;
    if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, why, SMTO_ABORTIFHUNG, 30000, &mayEnd) ||
        !SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, why, SMTO_ABORTIFHUNG, 30000, &done)) {
        std::fprintf(stderr, "win_end_session: the window did not answer\n");
        return 1;
    }
    if (!process || !TerminateProcess(process, 0)) {
        std::fprintf(stderr, "win_end_session: cannot end process %lu\n", processId);
        return 1;
    }
    CloseHandle(process);
    std::printf("WM_QUERYENDSESSION: %s\n", mayEnd ? "may end" : "refused");
    return mayEnd ? 0 : 2;
}
