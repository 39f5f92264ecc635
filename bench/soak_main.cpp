// The load and fault suite's driver: every case bounded in count and time, one line of
// figures per case; exit status 1 when any case fails. It runs itself inside tests/netns-run
// when started outside one. Clock settings are only ever recorded (KSERVER_CLOCK_LOG), in this
// process and in every program it starts.
//
// Usage: build/bench/soak-suite [CASE-FILTER]   (a substring of the case names; a filter
// that matches none runs nothing and succeeds)
//
//   1000-at-once       1 000 request connections opened together from 20 source addresses
//   idle-slow          300 silent and 50 slow connections; a normal client meanwhile; idle close
//   garbage            random bytes on 200 connections, 16 MiB without "}" on one; memory
//   misbehave          requesters that never read, reset, refuse, never accept, or vanish
//   steady             10 000 requests over 5 minutes at 33.3 per second
//   steady-1000        1 000 requests per second from 16 sources for 10 minutes
//                      (KS_SOAK_SECONDS shortens it), each source's replies in its order
//   serial-noise       random bytes at 9600 baud for 60 s with valid sentences mixed in
//   serial-replug      the receiver vanishes and returns 20 times with AUTO on
//   sntp-garbage       random datagrams instead of an answer
//   sntp-flood         stray and forged datagrams for the whole wait
//   sntp-late          the answer comes after the watchdog
//   settings-kill      1 000 saves killed with SIGKILL at random points
#include "soak.h"

#include "Namespace.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

using namespace ks::soak;

int main(int argc, char* argv[]) {
    const QByteArray saveLoopPath = qgetenv("KS_SOAK_SAVE_LOOP");
    if (!saveLoopPath.isEmpty())
        return settingsSaveLoop(QFile::decodeName(saveLoopPath), qgetenv("KS_SOAK_SAVE_BASE").toUInt());

    // The program listens, multicasts and is asked to set the clock: only ever inside a
    // private namespace.
    if (!ks::test::ensurePrivateNamespace(argc, argv)) return 1;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TZ", "UTC");
    // Until a case names its own record, settings made in this process go nowhere real.
    QTemporaryDir scratch;
    qputenv("KSERVER_CLOCK_LOG", QFile::encodeName(scratch.path() + QStringLiteral("/clock.log")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(scratch.path()));
    ::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    const QByteArray filter = argc > 1 ? QByteArray(argv[1]) : QByteArray();

    bool allHeld = true;
    for (const Case& c : networkCases() + serialCases() + sntpCases() + settingsCases()) {
        if (!QByteArray(c.name).contains(filter)) continue;
        QByteArray figures;
        QElapsedTimer t;
        t.start();
        const Verdict v = c.run(figures);
        figures += " [" + QByteArray::number(double(t.elapsed()) / 1000.0, 'f', 1) + " s]";
        std::printf("%-18s %s  %s%s%s\n", c.name, v.ok ? "ok  " : "FAIL", figures.constData(),
                    v.ok ? "" : "  -- ", v.ok ? "" : v.fault.constData());
        std::fflush(stdout);
        allHeld = allHeld && v.ok;
    }
    return allHeld ? 0 : 1;
}
