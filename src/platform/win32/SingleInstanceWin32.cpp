#include "platform/SingleInstance.h"

#include <windows.h>

namespace ks {

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    if (mutex_) CloseHandle(mutex_);
}

bool SingleInstance::acquire() {
    if (mutex_) return true;
    HANDLE handle = CreateMutexA(nullptr, FALSE, "kserver");
    if (!handle) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return false;
    }
    mutex_ = handle;
    return true;
}

} // namespace ks
