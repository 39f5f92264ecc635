#pragma once

#include "Wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace ks::test {

// The program as a process: a copy of the executable in a temporary folder (so Logs/ beside
// it belongs to the test), private config and runtime folders, headless, TZ=UTC. Its stderr
// is collected line by line.
class AppProcess {
public:
    AppProcess() {
        for (const QString& d : {binDir(), configDir(), runtimeDir()}) QDir().mkpath(d);
        QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::copy(QStringLiteral(KS_SERVER_BIN), binDir() + QStringLiteral("/korvat-server"));
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
        env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
        // Whatever this machine's own clock state, unless a case sets its own.
        env.insert(QStringLiteral("KSERVER_SYSTEM_CLOCK"), QStringLiteral("synchronised,1.5,0.25"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        QObject::connect(&process_, &QProcess::readyReadStandardError, [this] { collect(); });
    }
    ~AppProcess() {
        process_.kill();
        process_.waitForFinished(5000);
    }

    QString root() const { return dir_.path(); }
    QString binDir() const { return root() + QStringLiteral("/bin"); }
    QString configDir() const { return root() + QStringLiteral("/config"); }
    QString runtimeDir() const { return root() + QStringLiteral("/runtime"); }
    QString settingsPath() const { return configDir() + QStringLiteral("/BREVANE/KORVATSERVER.reg"); }
    QString logsDir() const { return binDir() + QStringLiteral("/Logs"); }

    // Writes the settings file (REGEDIT4 text, as given).
    void writeSettings(const QByteArray& text) const {
        QDir().mkpath(configDir() + QStringLiteral("/BREVANE"));
        QFile f(settingsPath());
        if (f.open(QIODevice::WriteOnly)) f.write(text);
    }
    // Sends stderr to a file that JOURNAL_STREAM names (same) or does not name (!same), as
    // systemd does for a service; lines() then reads that file.
    void stderrToJournal(bool same) {
        journal_.setFileName(root() + QStringLiteral("/stderr"));
        journal_.open(QIODevice::ReadWrite);
        struct stat st {};
        ::fstat(journal_.handle(), &st);
        const QString stream = QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino + (same ? 0 : 1));
        env.insert(QStringLiteral("JOURNAL_STREAM"), stream);
        process_.setStandardErrorFile(journal_.fileName());
    }

    QProcessEnvironment env;

    void start(const QStringList& args = {}) {
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(root());
        process_.start(binDir() + QStringLiteral("/korvat-server"), args);
        process_.waitForStarted(5000);
    }
    bool waitForExit(int timeoutMs) {
        const bool ended = waitUntil([this] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
        collect();
        return ended;
    }
    // Sends SIGTERM; returns the time it took the process to end, or -1 when it did not in time.
    qint64 terminate(int timeoutMs = 5000) {
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(process_.processId()), SIGTERM);
        return waitForExit(timeoutMs) ? timer.elapsed() : -1;
    }
    QList<QByteArray> lines() { return collect(), lines_; }
    QProcess& process() { return process_; }
    // Called with each stderr line as it is collected.
    std::function<void(const QByteArray&)> onLine;

private:
    void collect() {
        partial_ += journal_.isOpen() ? journal_.readAll() : process_.readAllStandardError();
        for (qsizetype nl; (nl = partial_.indexOf('\n')) >= 0; partial_.remove(0, nl + 1)) {
            lines_.append(partial_.left(nl));
            if (onLine) onLine(lines_.last());
        }
    }
    QTemporaryDir dir_;
    QProcess process_;
    QFile journal_;
    QByteArray partial_;
    QList<QByteArray> lines_;
};

// A whole file; empty when it is missing or unreadable.
inline QByteArray fileContents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Figures of a running process from /proc; -1 when it is gone or unreadable.
inline qint64 processCpuMs(qint64 pid) { // user + system time
    const QByteArray text = fileContents(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return -1;
    return (fields[11].toLongLong() + fields[12].toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

inline qint64 processRssKiB(qint64 pid) {
    for (const QByteArray& line : fileContents(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace ks::test
