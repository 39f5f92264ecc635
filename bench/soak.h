#pragma once
// The load and fault suite's common pieces: a case's verdict, its line of figures, and the
// suites' tables of cases, which the driver (soak_main.cpp) runs.

#include "AppProcess.h"
#include "Golden.h"
#include "Namespace.h"
#include "Pty.h"
#include "TestWindow.h"
#include "Wait.h"
#include "platform/SystemClock.h"
#include "protocol/CivilTime.h"
#include "protocol/DateFormat.h"
#include "protocol/Nmea.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace ks::soak {

// A benchmark that starts the program: only ever inside a private namespace (it listens and
// multicasts), off-screen, in UTC, each figure printed as soon as it is known. False when no
// namespace could be had.
inline bool startInNamespace(int argc, char* argv[]) {
    if (!test::ensurePrivateNamespace(argc, argv)) return false;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TZ", "UTC");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return true;
}

// One case's verdict; the first fault found is named in its line.
struct Verdict {
    bool ok = true;
    QByteArray fault;
    void fail(const QByteArray& why) {
        if (ok) fault = why;
        ok = false;
    }
    void check(bool holds, const QByteArray& why) {
        if (!holds) fail(why);
    }
};

struct Case {
    const char* name;
    std::function<Verdict(QByteArray& figures)> run;
};

inline QByteArray num(qint64 v) { return QByteArray::number(v); }
inline QByteArray fixed(double v, int decimals = 2) { return QByteArray::number(v, 'f', decimals); }
inline QByteArray ms(qint64 v) { return QByteArray::number(v) + " ms"; }
inline QByteArray mib(qint64 kib) { return QByteArray::number(double(kib) / 1024.0, 'f', 1) + " MiB"; }

// Seconds on the monotonic clock.
inline double nowS() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The nearest-rank percentile (also the benchmarks').
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(std::max(1.0, std::ceil(p / 100.0 * double(v.size())))) - 1];
}

// The receiver's side: a GPS source on COM1 with AUTO on, at the baud rate's code (6: 4800,
// 7: 9600); the fix of second n after FirstFix, a GGA (7 satellites) and its RMC, so the
// clock setting it causes tells which pair was taken.
inline QByteArray gpsSettings(int baudCode) {
    return test::SettingsHeader +
           "\"source\"=dword:00000001\r\n\"port\"=dword:00000001\r\n"
           "\"autoconnect\"=dword:00000001\r\n\"baud\"=dword:0000000" +
           QByteArray::number(baudCode) + "\r\n";
}
inline const qint64 FirstFix = msFromCivil({2009, 3, 24, 10, 0, 0, 0});
inline QByteArray fixPair(int n) {
    const CivilTime t = civilFromMs(FirstFix + qint64(n) * 1000);
    const auto line = [](const QByteArray& body) { return body + '*' + NmeaChecksum(body) + "\r\n"; };
    return line("$GPGGA," + formatDateTime("hhnnss", t) +
                ".000,4807.038,N,01131.000,E,1,07,0.9,545.4,M,46.9,M,,") +
           line("$GPRMC," + formatDateTime("hhnnss", t) + ".000,A,4807.038,N,01131.000,E,022.4,084.4," +
                formatDateTime("ddmmyy", t) + ",003.1,W");
}

// Whether the receiver set-up sentences (all six) come out of the pty in time.
inline bool setupArrives(test::Pty& pty, int timeoutMs = 5000) {
    QByteArray got;
    return test::waitUntil([&] { return (got += pty.readAvailable()).contains(GpsSetupSentences().join()); },
                           timeoutMs);
}

// The program as a process with the GPS source at 9600 baud on `device` (without one, on the
// PC clock), its clock settings recorded.
struct GpsProgram {
    test::AppProcess app;
    QString clockLog;
    explicit GpsProgram(const QString& device) {
        clockLog = app.root() + QStringLiteral("/clock.log");
        app.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"), clockLog);
        app.env.insert(QStringLiteral("KSERVER_COM1"), device);
        if (!device.isEmpty()) app.writeSettings(gpsSettings(7));
        app.start();
    }
    qint64 pid() { return app.process().processId(); }
    bool running() { return app.process().state() == QProcess::Running; }
    bool took(int n) const {
        return test::scriptLines(clockLog).contains(
            clockLogLine(FirstFix + qint64(n) * 1000, ClockSetKind::Utc));
    }
    QByteArray exitText() {
        return "exit " + num(app.process().exitCode()) +
               (app.process().exitStatus() == QProcess::CrashExit ? " (crashed)" : "");
    }
};

QList<Case> networkCases();
QList<Case> serialCases();
QList<Case> sntpCases();
QList<Case> settingsCases();
// The settings suite's child process: saves in a loop until killed.
int settingsSaveLoop(const QString& path, quint32 base);

} // namespace ks::soak
