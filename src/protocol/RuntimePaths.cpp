#include "protocol/RuntimePaths.h"

#include <QDir>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace ks {

namespace {
#ifdef Q_OS_WIN
QString privateFolder(bool, QString*) { return QDir::tempPath(); }
#else
// A shared temporary folder would let another user hold the lock or answer in the server's
// place: the folder must be this user's alone, and is never followed through a link.
QString privateFolder(bool create, QString* error) {
    // Empty when TMPDIR names a folder that does not exist: never fall back to "/".
    const QString temp = QDir::tempPath();
    if (temp.isEmpty()) {
        if (error)
            *error = QStringLiteral("No safe folder for the run-time files: XDG_RUNTIME_DIR is not set "
                                    "and the temporary folder (TMPDIR) does not exist");
        return {};
    }
    const QString path = temp + QStringLiteral("/kserver-") + QString::number(::getuid());
    if (create) QDir().mkdir(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    struct stat st {};
    QString why;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        why = QStringLiteral("cannot be made (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
    else if (S_ISLNK(st.st_mode)) why = QStringLiteral("is a symbolic link");
    else if (!S_ISDIR(st.st_mode)) why = QStringLiteral("is not a folder");
    else if (st.st_uid != ::getuid()) why = QStringLiteral("belongs to another user");
    else if (st.st_mode & 077)
        why =
            QStringLiteral("is open to other users (mode %1)").arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'));
    if (why.isEmpty()) return path;
    if (error)
        *error = QStringLiteral("No safe folder for the run-time files: %1 %2 (set XDG_RUNTIME_DIR, "
                                "or remove it)")
                     .arg(path, why);
    return {};
}
#endif
} // namespace

QString runtimeFolder(bool create, QString* error) {
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!dir.isEmpty() && QDir(dir).exists()) return dir;
    return privateFolder(create, error);
}

QString stateFolder() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/korvat-server");
}

QString statusSocketPath(QString* error) {
    const QString dir = runtimeFolder(false, error);
    return dir.isEmpty() ? QString() : dir + QStringLiteral("/kserver.status");
}

} // namespace ks
