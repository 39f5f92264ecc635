#pragma once

#include "protocol/RegFile.h"

#include <QString>

namespace ks {

// The settings key, held in memory as REGEDIT4 text. On Linux it is the file
// $XDG_CONFIG_HOME/BREVANE/KORVATSERVER.reg (~/.config when unset), so it imports into a
// Windows registry; saving replaces it atomically with mode 0600 and keeps what this program
// does not know. On Windows it is the registry key itself (path() names it): values are read
// with their types, and saving writes the key's text and number values. Reading never creates
// the file or key.
class SettingsStore {
public:
    static constexpr const char* MainKey = "HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER";
    static constexpr const char* PortsKey = "HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER\\Ports";

    explicit SettingsStore(QString path = defaultPath());
    static QString defaultPath();
    const QString& path() const { return path_; }

    // Reads the file if it exists. Returns false when there is none (nothing is created).
    // A file that cannot be read as REGEDIT4 text throws ks::Error naming the file and line.
    bool open();
    bool isOpen() const { return open_; }

    const RegFile& file() const { return file_; }
    RegFile& file() { return file_; }

    // Writes the whole file. On failure returns false with the platform's message.
    bool save(QString* error);

private:
    QString path_;
    RegFile file_;
    bool open_ = false;
};

} // namespace ks
