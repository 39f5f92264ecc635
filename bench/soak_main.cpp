// The load and fault suite's driver: every case bounded in count and time, one line of
// figures per case; exit status 1 when any case fails. It runs itself inside tests/netns-run
// when started outside one. Clock settings are only ever recorded (KSERVER_CLOCK_LOG), in this
// process and in every program it starts.
// The cases and their usage: bench/soak.
#include "soak.h"

#include "Namespace.h"

#include <QApplication>
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
        const double start = nowS();
        const Verdict v = c.run(figures);
        figures += " [" + fixed(nowS() - start, 1) + " s]";
        std::printf("%-18s %s  %s%s%s\n", c.name, v.ok ? "ok  " : "FAIL", figures.constData(),
                    v.ok ? "" : "  -- ", v.ok ? "" : v.fault.constData());
        std::fflush(stdout);
        allHeld = allHeld && v.ok;
    }
    return allHeld ? 0 : 1;
}
