// The SNTP suite: the program's window in this process, each attempt asked for as "FORCE
// SYNC" asks for it, against the fake server on 127.0.0.1:123 in its hostile modes. Which
// answers are disregarded is the unit tests' table; here what matters is that junk, floods
// and late answers end the attempt in time and leave the next one unharmed.
#include "soak.h"

#include "FakeSntpServer.h"
#include "TestWindow.h"
#include "Wait.h"
#include "protocol/Sntp.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>

using namespace ks;
using namespace ks::soak;

namespace {

enum class Mode { Answer, Random, Flood, FloodThenAnswer, Late };
struct NtpAttempt {
    const char* name;
    Mode mode;
    bool success;
    qint64 minMs, maxMs; // how long the attempt may take
};

// The fake server, hostile: random junk (five datagrams); a flood of about 20 000 datagrams a
// second for 4 s (another originate from the server's port, the right one forged from another
// port, and junk, all a day ahead so a taken one shows), with the proper answer every 100 ms
// from 1 s on when it answers; or the proper answer after 3.5 s.
struct HostileServer {
    test::FakeSntpServer server{QHostAddress::LocalHost, SntpDefaultPort};
    Mode mode = Mode::Answer;
    QUdpSocket other; // the forgeries' port
    QRandomGenerator rng{123};
    int pending = 0;
    qint64 strays = 0;

    HostileServer() {
        other.bind(QHostAddress::LocalHost, 0);
        server.onRequest = [this] { serve(server.requests.size() - 1); };
    }
    void serve(qsizetype index) {
        server.mode =
            mode == Mode::Answer ? test::FakeSntpServer::Mode::Answer : test::FakeSntpServer::Mode::Silent;
        for (int i = 0; mode == Mode::Random && i < 5; ++i) {
            QByteArray junk(1 + int(rng.bounded(100)), Qt::Uninitialized);
            for (char& c : junk) c = char(rng.bounded(256));
            server.send(junk, index);
        }
        if (mode == Mode::Answer || mode == Mode::Random) return;
        ++pending;
        auto* timer = new QTimer(&server);
        QElapsedTimer since;
        since.start();
        const bool late = mode == Mode::Late, answers = mode == Mode::FloodThenAnswer;
        QObject::connect(timer, &QTimer::timeout, [=, this, lastAnswer = qint64(-1000)]() mutable {
            const qint64 t = since.elapsed();
            if (late || t >= 4000) {
                if (late) server.answerNow(index);
                timer->deleteLater();
                timer->stop();
                --pending;
                return;
            }
            if (answers && t >= 1000 && t - lastAnswer >= 100) {
                server.answerNow(index);
                lastAnswer = t;
            }
            const qint64 forged = server.nowUs() + 86'400'000'000; // a day ahead
            for (int i = 0; i < 20; ++i, ++strays) {
                test::SntpReply echo;
                echo.wrongOriginate = i % 3 == 0;
                if (i % 3 < 2) // another originate from the server's port, or forged from another
                    server.send(server.answer(index, echo, forged, forged), index, i % 3 ? &other : nullptr);
                else server.send(QByteArray(48, char(rng.bounded(256))), index);
            }
        });
        timer->start(late ? 3500 : 1);
    }
};

// Each hostile attempt is followed by a proper one, which must succeed and set the server's
// time. The watchdog is 3000 ms; an attempt it ends must end then, not when a flood stops.
Verdict ntpAttempts(const QList<NtpAttempt>& hostile, QByteArray& figures) {
    Verdict v;
    HostileServer hostileServer;
    test::FakeSntpServer& server = hostileServer.server;
    if (!server.bound()) return v.fail("cannot serve on 127.0.0.1:123"), v;
    test::LiveWindow w(test::SettingsHeader + "\"source\"=dword:00000003\r\n\"ntpserver\"=\"127.0.0.1\"\r\n");
    if (!w.started) return v.fail("the window did not start"), v;
    QList<NtpAttempt> plan;
    for (const NtpAttempt& a : hostile) plan << a << NtpAttempt{"answer", Mode::Answer, true, 0, 1000};
    int attempts = 0, held = 0;
    QByteArray times;
    qint64 properMax = 0;
    for (const NtpAttempt& a : plan) {
        hostileServer.mode = a.mode;
        const qsizetype from = w.logSize();
        const qsizetype settingsBefore = test::scriptLines(w.clockLog()).size();
        const qsizetype requestsBefore = server.requests.size();
        QElapsedTimer took;
        took.start();
        w.form->btnForceClick();
        const qint64 t = took.elapsed();
        ++attempts;
        // Whatever comes late (a late answer, the rest of a flood) must not add to the
        // attempt once it has ended.
        test::waitUntil([&] { return hostileServer.pending == 0; }, 6000);
        test::pumpFor(200);
        const QList<QByteArray> got = w.entries(from, "NTP Sync");
        const QList<QByteArray> settings = test::scriptLines(w.clockLog()).mid(settingsBefore);
        bool ok = true;
        auto expect = [&](bool holds, const QByteArray& why) {
            if (!holds && ok) v.fail(QByteArray(a.name) + ": " + why);
            ok = ok && holds;
        };
        const QByteArray end =
            a.success ? "2|NTP Sync|Successful Sync to 127.0.0.1" : "0|NTP Sync|Connection Timeout";
        expect(got == QList<QByteArray>{"4|NTP Sync|Attempting Sync to 127.0.0.1", end},
               "log " + got.join(" / "));
        expect(server.requests.size() - requestsBefore == 1,
               num(server.requests.size() - requestsBefore) + " requests");
        expect(t >= a.minMs && t <= a.maxMs, "took " + ms(t));
        if (a.success) {
            // The server's own time (it answers with the real time), never a forged one.
            const QList<QByteArray> f = settings.value(0).split(' ');
            const QDateTime set = QDateTime::fromString(QString::fromLatin1(f.value(0)), Qt::ISODateWithMs);
            expect(settings.size() == 1 && f.value(1) == "local" && set.isValid() &&
                       qAbs(set.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch()) < 5000,
                   "clock settings " + settings.join(" / "));
        } else {
            expect(settings.isEmpty(), "clock set: " + settings.join(" / "));
        }
        held += ok ? 1 : 0;
        if (a.mode == Mode::Answer) properMax = std::max(properMax, t);
        else times += QByteArray(times.isEmpty() ? "" : ", ") + a.name + " " + ms(t);
    }
    figures = "attempts " + num(attempts) + ", as the rules say " + num(held) + "/" + num(attempts) + "; " +
              times + "; proper answer after each, max " + ms(properMax);
    if (hostileServer.strays > 0) figures += "; strays " + num(hostileServer.strays);
    return v;
}

// Each case: hostile attempts, each followed by a proper one.
Case sntpCase(const char* name, const QList<NtpAttempt>& hostile) {
    return {name, [hostile](QByteArray& figures) { return ntpAttempts(hostile, figures); }};
}

} // namespace

QList<Case> ks::soak::sntpCases() {
    //          case             attempt         mode                   success  min ms  max ms
    return {sntpCase("sntp-garbage", {{"random", Mode::Random, false, 2900, 3600}}),
            sntpCase("sntp-flood", {{"flood", Mode::Flood, false, 2900, 3600},
                                    {"flood+answer", Mode::FloodThenAnswer, true, 900, 2500}}),
            sntpCase("sntp-late", {{"late", Mode::Late, false, 2900, 3600},
                                   {"late again", Mode::Late, false, 2900, 3600}})};
}
