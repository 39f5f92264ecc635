#include "AppProcess.h"

#include "Wait.h"

#include <QDir>
#include <QElapsedTimer>

#include <csignal>
#include <sys/stat.h>

namespace ks::test {

AppProcess::AppProcess() {
    for (const QString& d : {binDir(), configDir(), runtimeDir()}) QDir().mkpath(d);
    QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::copy(QStringLiteral(KS_SERVER_BIN), binDir() + QStringLiteral("/korvat-server"));

    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    QObject::connect(&process_, &QProcess::readyReadStandardError, [this] { collect(); });
}

AppProcess::~AppProcess() {
    process_.kill();
    process_.waitForFinished(5000);
}

void AppProcess::writeSettings(const QByteArray& text) const {
    QDir().mkpath(configDir() + QStringLiteral("/BREVANE"));
    QFile f(settingsPath());
    if (f.open(QIODevice::WriteOnly)) f.write(text);
}

void AppProcess::stderrToJournal(bool same) {
    journal_.setFileName(root() + QStringLiteral("/stderr"));
    journal_.open(QIODevice::ReadWrite);
    struct stat st {};
    ::fstat(journal_.handle(), &st);
    const qulonglong inode = st.st_ino + (same ? 0 : 1);
    env.insert(QStringLiteral("JOURNAL_STREAM"), QString::number(st.st_dev) + u':' + QString::number(inode));
    process_.setStandardErrorFile(journal_.fileName());
}

void AppProcess::start(const QStringList& args) {
    process_.setProcessEnvironment(env);
    process_.setWorkingDirectory(root());
    process_.start(binDir() + QStringLiteral("/korvat-server"), args);
    process_.waitForStarted(5000);
}

void AppProcess::collect() {
    partial_ += journal_.isOpen() ? journal_.readAll() : process_.readAllStandardError();
    qsizetype nl;
    while ((nl = partial_.indexOf('\n')) >= 0) {
        lines_.append(partial_.left(nl));
        partial_.remove(0, nl + 1);
        if (onLine) onLine(lines_.last());
    }
}

bool AppProcess::waitForLine(const QByteArray& text, int timeoutMs) {
    return waitUntil([&] { return lines().join('\n').contains(text); }, timeoutMs);
}

bool AppProcess::waitForExit(int timeoutMs) {
    const bool ended = waitUntil([this] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
    collect();
    return ended;
}

qint64 AppProcess::terminate(int timeoutMs, int signal) {
    QElapsedTimer timer;
    timer.start();
    ::kill(pid_t(process_.processId()), signal);
    return waitForExit(timeoutMs) ? timer.elapsed() : -1;
}

} // namespace ks::test
