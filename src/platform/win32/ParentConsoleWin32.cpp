#include "platform/Ui.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace ks {

namespace {

// A handle the starter handed over: a file, a pipe or a console. A GUI program started from
// a console gets none; from a shortcut none either.
bool usable(DWORD which) {
    const HANDLE h = GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// Points the C run-time descriptor fd (and with it stdin, stdout or stderr) and the Win32
// standard handle at the attached console's device.
void reopen(DWORD which, int fd, const wchar_t* device, DWORD access, int flags) {
    const HANDLE h =
        CreateFileW(device, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    const int temporary = _open_osfhandle(intptr_t(h), flags);
    if (temporary < 0) {
        CloseHandle(h);
        return;
    }
    if (_dup2(temporary, fd) == 0) SetStdHandle(which, HANDLE(_get_osfhandle(fd)));
    _close(temporary);
}

} // namespace

void attachParentConsole() {
    const bool in = usable(STD_INPUT_HANDLE), out = usable(STD_OUTPUT_HANDLE), err = usable(STD_ERROR_HANDLE);
    // Attached also when all streams are redirected, so Ctrl-C in that console still ends it.
    // Fails when the starter has no console (Explorer, the Run key): then there is nowhere to
    // write, as intended for a program that lives in the notification area.
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    if (!in) reopen(STD_INPUT_HANDLE, 0, L"CONIN$", GENERIC_READ | GENERIC_WRITE, _O_RDONLY);
    if (!out) reopen(STD_OUTPUT_HANDLE, 1, L"CONOUT$", GENERIC_READ | GENERIC_WRITE, _O_WRONLY);
    if (!err) reopen(STD_ERROR_HANDLE, 2, L"CONOUT$", GENERIC_READ | GENERIC_WRITE, _O_WRONLY);
}

} // namespace ks
