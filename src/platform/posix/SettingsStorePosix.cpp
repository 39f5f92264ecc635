#include "platform/SettingsStore.h"

#include "platform/Error.h"
#include "platform/FileReplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ks {

SettingsStore::SettingsStore(QString path) : path_(std::move(path)) {}

QString SettingsStore::defaultPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/BREVANE/KORVATSERVER.reg");
}

bool SettingsStore::open() {
    QFile f(path_);
    if (!f.exists()) return false;
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
    if (!QDir().mkpath(QFileInfo(path_).absolutePath())) {
        if (error) *error = QStringLiteral("cannot create the folder of %1").arg(path_);
        return false;
    }
    if (!replaceFileContents(path_, file_.serialize(), error)) return false;
    open_ = true;
    return true;
}

} // namespace ks
