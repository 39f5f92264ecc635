#pragma once

#include <QByteArray>
#include <QString>

namespace ks {

// Replaces the file at path with data, whole or not at all, and readable by the owner only:
// the data goes to path + ".saving", reaches the disk, then takes the file's place. A save
// cut short leaves at most that one file, which the next save reuses, never a torn path.
// On failure *error holds the system's message.
bool replaceFileContents(const QString& path, const QByteArray& data, QString* error);

} // namespace ks
