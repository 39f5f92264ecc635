#include "platform/win32/SystemMessage.h"

#include <windows.h>

namespace ks {

QString systemMessage(unsigned long code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, DWORD(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    QString message = text ? QString::fromLocal8Bit(text).trimmed() : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return message;
}

} // namespace ks
