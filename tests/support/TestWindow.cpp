#include "TestWindow.h"

#include "log/Log.h"
#include "platform/Error.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace ks::test {

const QByteArray SettingsHeader =
    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n";

TestWindow::TestWindow(const QByteArray& settings, qint64 now) : clock(now) {
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
    if (!settings.isEmpty()) write(settings);
    form = std::make_unique<TForm1>();
    try {
        started = form->StartUp();
    } catch (const Error& e) {
        error = e.message();
    }
    form->Timer1->stop();
    form->Timer2->stop();
    form->IdIPWatch1->stop();
    form->NetworkPresent = false;
}

namespace {

void writeSettings(const QString& configHome, const QByteArray& text) {
    QDir().mkpath(configHome + QStringLiteral("/BREVANE"));
    QFile f(configHome + QStringLiteral("/BREVANE/KORVATSERVER.reg"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

} // namespace

QString TestWindow::path() const {
    return dir.path() + QStringLiteral("/BREVANE/KORVATSERVER.reg");
}

void TestWindow::write(const QByteArray& text) const { writeSettings(dir.path(), text); }

QByteArray TestWindow::stored() const {
    QFile f(path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QList<QByteArray> TestWindow::events() const {
    QList<QByteArray> out;
    for (const LogEntry& e : form->LogFrm()->Model().entries())
        out.append(e.event + ": " + e.details);
    return out;
}

void TestWindow::tick(qint64 stepMs) {
    form->Timer1Timer();
    clock.advance(stepMs);
}

LiveWindow::LiveWindow(const QByteArray& settings, const QString& configHome) {
    const QString config = configHome.isEmpty() ? dir.path() + QStringLiteral("/config") : configHome;
    const QString runtime = dir.path() + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    qputenv("KSERVER_CLOCK_LOG", QFile::encodeName(clockLog()));
    if (!settings.isEmpty()) writeSettings(config, settings);
    std::fflush(stderr);
    savedStderr_ = ::dup(2);
    const int fd = ::open(QFile::encodeName(dir.path() + QStringLiteral("/stderr.log")).constData(),
                          O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::dup2(fd, 2);
        ::close(fd);
    }
    form = std::make_unique<TForm1>();
    try {
        started = form->StartUp();
    } catch (...) {
        started = false;
    }
}

LiveWindow::~LiveWindow() {
    if (form) form->Shutdown();
    form.reset();
    std::fflush(stderr);
    if (savedStderr_ >= 0) {
        ::dup2(savedStderr_, 2);
        ::close(savedStderr_);
    }
}

QString LiveWindow::clockLog() const { return dir.path() + QStringLiteral("/clock.log"); }

QList<QByteArray> LiveWindow::stderrLines() const {
    QFile f(dir.path() + QStringLiteral("/stderr.log"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>{};
}

QList<QByteArray> LiveWindow::entries(qsizetype from, const QByteArray& event) const {
    QList<QByteArray> out;
    const QList<LogEntry>& all = form->LogFrm()->Model().entries();
    for (qsizetype i = from; i < all.size(); ++i)
        if (all[i].event == event) out.append(all[i].col + '|' + all[i].event + '|' + all[i].details);
    return out;
}

qsizetype LiveWindow::logSize() const { return form->LogFrm()->Model().entries().size(); }

} // namespace ks::test
