#include "platform/Autostart.h"

#include <QCoreApplication>
#include <QDir>

#include <windows.h>

namespace ks {

bool installAutostart(QString* error) {
    const QString command = QLatin1Char('"') +
                            QDir::toNativeSeparators(QCoreApplication::applicationFilePath()) +
                            QLatin1Char('"');
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                              nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(key, L"Korvat Server", 0, REG_SZ, reinterpret_cast<const BYTE*>(command.utf16()),
                            DWORD((command.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    if (rc == ERROR_SUCCESS) return true;
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, DWORD(rc), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    *error = text ? QString::fromLocal8Bit(text).trimmed() : QStringLiteral("error %1").arg(rc);
    LocalFree(text);
    return false;
}

QByteArray userServiceState() { return {}; }

} // namespace ks
