#include "AppProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <csignal>

namespace ks::test {

AppProcess::AppProcess() {
    QDir root(dir_.path());
    root.mkpath(QStringLiteral("bin"));
    root.mkpath(QStringLiteral("config"));
    root.mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::copy(QStringLiteral(KS_SERVER_BIN), binDir() + QStringLiteral("/korvat-server"));

    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&process_, &QProcess::readyReadStandardError, [this] { collect(); });
}

AppProcess::~AppProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void AppProcess::writeSettings(const QByteArray& text) const {
    QDir().mkpath(configDir() + QStringLiteral("/BREVANE"));
    QFile f(settingsPath());
    if (f.open(QIODevice::WriteOnly)) f.write(text);
}

void AppProcess::start(const QStringList& args) {
    process_.setProcessEnvironment(env);
    process_.setWorkingDirectory(root());
    process_.start(binDir() + QStringLiteral("/korvat-server"), args);
    process_.waitForStarted(5000);
}

void AppProcess::collect() {
    partial_ += process_.readAllStandardError();
    qsizetype nl;
    while ((nl = partial_.indexOf('\n')) >= 0) {
        lines_.append(partial_.left(nl));
        partial_.remove(0, nl + 1);
        if (onLine) onLine(lines_.last());
    }
}

QList<QByteArray> AppProcess::lines() {
    collect();
    return lines_;
}

bool AppProcess::waitForLine(const QByteArray& text, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (const QByteArray& l : lines())
            if (l.contains(text)) return true;
        if (deadline.hasExpired()) return false;
        QTest::qWait(10);
    }
}

bool AppProcess::waitForExit(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (process_.state() != QProcess::NotRunning && !deadline.hasExpired()) QTest::qWait(5);
    collect();
    return process_.state() == QProcess::NotRunning;
}

qint64 AppProcess::terminate(int timeoutMs, int signal) {
    QElapsedTimer timer;
    timer.start();
    ::kill(pid_t(process_.processId()), signal);
    return waitForExit(timeoutMs) ? timer.elapsed() : -1;
}

} // namespace ks::test
