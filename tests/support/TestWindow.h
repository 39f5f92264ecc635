#pragma once

#include "FakeClock.h"
#include "TestAccess.h"
#include "app/TimeNow.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <memory>

namespace ks::test {

// The start of a settings file with the program's key, ready for "name"=value lines.
extern const QByteArray SettingsHeader;

// One started server and its main window with private folders on a fake clock, its timers
// stopped so the test drives the tick; offline, so announcements are only logged.
struct TestWindow {
    static constexpr qint64 DefaultNow = 1'796'551'200'000; // 2026-12-06 10:00:00 UTC

    explicit TestWindow(const QByteArray& settings = {}, qint64 now = DefaultNow);
    QString path() const; // the settings file
    QByteArray stored() const;
    // One Timer1Timer, then the clock moves on.
    void tick(qint64 stepMs = 250);

    QTemporaryDir dir;
    FakeClock clock;
    std::unique_ptr<Server> server;
    std::unique_ptr<TForm1> form;
    bool started = false;
    QString error; // the failure that stopped the start, if one did
};

// The same window on the real clock with its timers running: clock settings are recorded in
// clockLog(), and this process's stderr (the log mirror, headless message boxes) goes to a
// file for its lifetime.
struct LiveWindow {
    explicit LiveWindow(const QByteArray& settings);
    ~LiveWindow();
    LiveWindow(const LiveWindow&) = delete;
    LiveWindow& operator=(const LiveWindow&) = delete;
    QString clockLog() const { return dir.path() + QStringLiteral("/clock.log"); }
    // "type|event|details" of the entries from number `from` on, for one event.
    QList<QByteArray> entries(qsizetype from, const QByteArray& event) const;
    qsizetype logSize() const;

    QTemporaryDir dir;
    std::unique_ptr<Server> server;
    std::unique_ptr<TForm1> form;
    bool started = false;

private:
    int savedStderr_ = -1;
};

} // namespace ks::test
