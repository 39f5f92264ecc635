#pragma once

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>

namespace ks::test {

// The program as a process: a copy of the executable in a temporary folder (so Logs/ beside
// it belongs to the test), private config and runtime folders, headless, TZ=UTC. Its stderr
// is collected line by line.
class AppProcess {
public:
    AppProcess();
    ~AppProcess();

    QString root() const { return dir_.path(); }
    QString binDir() const { return root() + QStringLiteral("/bin"); }
    QString configDir() const { return root() + QStringLiteral("/config"); }
    QString runtimeDir() const { return root() + QStringLiteral("/runtime"); }
    QString settingsPath() const { return configDir() + QStringLiteral("/BREVANE/KORVATSERVER.reg"); }
    QString logsDir() const { return binDir() + QStringLiteral("/Logs"); }

    // Writes the settings file (REGEDIT4 text, as given).
    void writeSettings(const QByteArray& text) const;
    // Sends stderr to a file that JOURNAL_STREAM names (same) or does not name (!same), as
    // systemd does for a service; lines() then reads that file.
    void stderrToJournal(bool same);

    QProcessEnvironment env;

    void start(const QStringList& args = {});
    // Waits until a stderr line contains the text; returns whether it came in time.
    bool waitForLine(const QByteArray& text, int timeoutMs = 5000);
    bool waitForExit(int timeoutMs = 5000);
    // Sends the signal (SIGTERM by default); returns the time it took the process to end, or
    // -1 when it did not in time.
    qint64 terminate(int timeoutMs = 5000, int signal = 15);
    QList<QByteArray> lines() { return collect(), lines_; }
    QProcess& process() { return process_; }
    // Called with each stderr line as it is collected.
    std::function<void(const QByteArray&)> onLine;

private:
    void collect();
    QTemporaryDir dir_;
    QProcess process_;
    QFile journal_;
    QByteArray partial_;
    QList<QByteArray> lines_;
};

} // namespace ks::test
