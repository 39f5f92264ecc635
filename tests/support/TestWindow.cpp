#include "TestWindow.h"

#include "Wait.h"
#include "log/Log.h"
#include "platform/Error.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace ks::test {

const QByteArray SettingsHeader = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n";

namespace {
void useFolders(const QString& config, const QString& runtime, const QByteArray& settings) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    QDir().mkpath(runtime);
    QDir().mkpath(config + QStringLiteral("/BREVANE"));
    QFile f(config + QStringLiteral("/BREVANE/KORVATSERVER.reg"));
    if (!settings.isEmpty() && f.open(QIODevice::WriteOnly)) f.write(settings);
    else QDir().rmdir(config + QStringLiteral("/BREVANE")); // no file: no folder either
}
// The server and its window started, or the failure that stopped the start.
bool startUp(std::unique_ptr<Server>& server, std::unique_ptr<TForm1>& form, QString* error = nullptr) {
    server = std::make_unique<Server>();
    form = std::make_unique<TForm1>(*server);
    bool failed = false;
    bool started = false;
    QObject::connect(server.get(), &Server::startFailed, server.get(),
                     [&failed, error](const QString& message) {
                         failed = true;
                         if (error) *error = message;
                     });
    try {
        // With the NTP source the start ends once its first attempt has.
        started =
            form->StartUp() && waitUntil([&] { return server->StartUpDone() || failed; }, 30000) && !failed;
    } catch (const Error& e) {
        if (error) *error = e.message();
    }
    QObject::disconnect(server.get(), &Server::startFailed, nullptr, nullptr);
    return started;
}
} // namespace

TestWindow::TestWindow(const QByteArray& settings, qint64 now) : clock(now) {
    useFolders(dir.path(), dir.path(), settings);
    started = startUp(server, form, &error);
    Server::TestAccess a(*server);
    a.Timer1->stop();
    a.Timer2->stop();
    a.IdIPWatch1->stop();
    a.NetworkPresent = false;
}

QString TestWindow::path() const { return dir.path() + QStringLiteral("/BREVANE/KORVATSERVER.reg"); }

QByteArray TestWindow::stored() const {
    QFile f(path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestWindow::tick(qint64 stepMs) {
    server->Timer1Timer();
    clock.advance(stepMs);
}

LiveWindow::LiveWindow(const QByteArray& settings) {
    useFolders(dir.path() + QStringLiteral("/config"), dir.path() + QStringLiteral("/runtime"), settings);
    qputenv("KSERVER_CLOCK_LOG", QFile::encodeName(clockLog()));
    std::fflush(stderr);
    savedStderr_ = ::dup(2);
    const int fd = ::open(QFile::encodeName(dir.path() + QStringLiteral("/stderr.log")).constData(),
                          O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) ::dup2(fd, 2), ::close(fd);
    started = startUp(server, form);
}

LiveWindow::~LiveWindow() {
    if (server) server->Shutdown();
    form.reset();
    server.reset();
    std::fflush(stderr);
    if (savedStderr_ >= 0) ::dup2(savedStderr_, 2), ::close(savedStderr_);
}

QList<QByteArray> LiveWindow::entries(qsizetype from, const QByteArray& event) const {
    QList<QByteArray> out;
    for (const LogEntry& e : server->Log().Model().entries().mid(from))
        if (e.event == event) out.append(e.col + '|' + e.event + '|' + e.details);
    return out;
}

qsizetype LiveWindow::logSize() const { return server->Log().Model().entries().size(); }

} // namespace ks::test
