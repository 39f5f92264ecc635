#include "platform/SettingsStore.h"

#include "platform/Error.h"
#include "platform/win32/SystemMessage.h"

#include <windows.h>

namespace ks {

namespace {
const char SubKey[] = "SOFTWARE\\BREVANE\\KORVATSERVER";

// A registry value's bytes as REGEDIT4 writes them: "hex(N):a0,0b,...".
QByteArray hexData(DWORD type, const QByteArray& bytes) {
    return (type == REG_BINARY ? QByteArray("hex:") : "hex(" + QByteArray::number(uint(type), 16) + "):") +
           RegFile::hexList(bytes);
}

} // namespace

SettingsStore::SettingsStore(QString path) : path_(std::move(path)) {}

QString SettingsStore::defaultPath() { return QString::fromLatin1(MainKey); }

bool SettingsStore::open() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SubKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegFile file;
    for (DWORD index = 0;; ++index) {
        char name[16384];
        DWORD nameSize = sizeof name;
        DWORD type = 0;
        DWORD dataSize = 0;
        LONG rc = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(key);
            throw ConfigError(
                QStringLiteral("Cannot read the registry key %1: %2").arg(path_, systemMessage(rc)));
        }
        QByteArray data(qsizetype(dataSize), Qt::Uninitialized);
        rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &dataSize);
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(key);
            throw ConfigError(
                QStringLiteral("Cannot read the registry key %1: %2").arg(path_, systemMessage(rc)));
        }
        data.truncate(qsizetype(dataSize));
        QByteArray text;
        if (type == REG_SZ) {
            const qsizetype nul = data.indexOf('\0');
            text = RegFile::encodeString(nul >= 0 ? data.left(nul) : data);
        } else if (type == REG_DWORD && data.size() == 4) {
            quint32 value = 0;
            memcpy(&value, data.constData(), 4);
            text = RegFile::encodeDword(value);
        } else {
            // Kept as they are, unexpanded: the reader decides what it accepts.
            text = hexData(type, data);
        }
        file.set(MainKey, nameSize ? QByteArray(name, nameSize) : QByteArray("@"), text);
    }
    RegCloseKey(key);
    file_ = std::move(file);
    open_ = true;
    return true;
}

bool SettingsStore::save(QString* error) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, SubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        if (error) *error = systemMessage(rc);
        return false;
    }
    // Text and number values are written; values of other types were read from this key
    // and are still there as they were.
    for (const RegFile::Key& k : file_.keys()) {
        if (k.path != MainKey) continue;
        for (const RegFile::Value& v : k.values) {
            const RegFile::Data d = RegFile::decode(v.data);
            const QByteArray name = v.name == "@" ? QByteArray() : v.name;
            if (d.type == RegFile::Type::Dword) {
                const DWORD value = d.dword;
                rc = RegSetValueExA(key, name.constData(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&value), sizeof value);
            } else if (d.type == RegFile::Type::String) {
                rc = RegSetValueExA(key, name.constData(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(d.text.constData()),
                                    DWORD(d.text.size() + 1));
            } else {
                continue;
            }
            if (rc != ERROR_SUCCESS) {
                RegCloseKey(key);
                if (error) *error = systemMessage(rc);
                return false;
            }
        }
    }
    RegCloseKey(key);
    open_ = true;
    return true;
}

} // namespace ks
