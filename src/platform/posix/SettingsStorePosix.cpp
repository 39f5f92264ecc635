#include "platform/SettingsStore.h"

#include "platform/Error.h"
#include "platform/FileReplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace ks {

SettingsStore::SettingsStore(QString path) : path_(std::move(path)) {}

QString SettingsStore::defaultPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/BREVANE/KORVATSERVER.reg");
}

bool SettingsStore::open() {
    QFile f(path_);
    if (!f.exists()) {
        // Missing, or hidden by a folder that cannot be searched: only the first means no settings.
        if (::access(QFile::encodeName(path_).constData(), F_OK) != 0 && errno != ENOENT)
            throw ConfigError(
                QStringLiteral("Cannot read the settings folder %1: %2")
                    .arg(QFileInfo(path_).absolutePath(), QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (!f.open(QIODevice::ReadOnly))
        throw ConfigError(QStringLiteral("Cannot read the settings file %1: %2").arg(path_, f.errorString()));
    RegFile::ParseError err;
    std::optional<RegFile> parsed = RegFile::parse(f.readAll(), &err);
    if (!parsed)
        throw ConfigError(QStringLiteral("Cannot read the settings file %1, line %2: %3")
                              .arg(path_)
                              .arg(err.line)
                              .arg(QString::fromLatin1(err.reason)));
    file_ = std::move(*parsed);
    open_ = true;
    return true;
}

bool SettingsStore::save(QString* error) {
    std::error_code made;
    std::filesystem::create_directories(QFileInfo(path_).absolutePath().toStdString(), made);
    if (made) {
        if (error) *error = QString::fromLocal8Bit(made.message());
        return false;
    }
    if (!replaceFileContents(path_, file_.serialize(), error)) return false;
    open_ = true;
    return true;
}

} // namespace ks
