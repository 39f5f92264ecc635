// A console that starts one program and waits for it, as a command prompt does, but hands on
// the program's own exit status: Ctrl-C in the console goes to the program, while this one
// ignores it and goes on waiting (a command prompt would end itself). Usage:
// win_console_start PROGRAM [ARGUMENT...]
#include <windows.h>

#include <cstdio>
#include <string>

namespace {
BOOL WINAPI ignore(DWORD) { return TRUE; }
} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: win_console_start PROGRAM [ARGUMENT...]\n");
        return 64;
    }
    std::string command;
    for (int i = 1; i < argc; ++i) command += std::string(i > 1 ? " \"" : "\"") + argv[i] + '"';
    SetConsoleCtrlHandler(ignore, TRUE);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started)) {
        std::fprintf(stderr, "win_console_start: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(started.hProcess, &code);
    return int(code);
}
