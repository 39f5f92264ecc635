// The program as a process, seen from outside with korvat-probe and plain sockets: each
// request kind answered, a requester that does not listen, clients that reset, a taken
// port, and the announcements a listener on the group sees.
#include "AppProcess.h"
#include "platform/StatusServer.h"
#include "protocol/Requests.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>
#include <sys/socket.h>

using ks::test::AppProcess;

namespace {
constexpr int WaitMs = 10000;

struct ProbeResult {
    int exitCode = -1;
    QByteArray out;
};

ProbeResult runProbe(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(KS_PROBE_BIN), args);
    if (!probe.waitForFinished(WaitMs)) {
        probe.kill();
        probe.waitForFinished();
        return {};
    }
    return {probe.exitCode(), probe.readAllStandardOutput()};
}

// The program and `korvat-probe listen` beside it. Started, it has announced its first
// state; stopped, it has ended with the shutdown announcement.
class Server {
public:
    Server() {
        listener.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        listener.start(QStringLiteral(KS_PROBE_BIN), {QStringLiteral("listen"), QStringLiteral("60")});
    }
    ~Server() {
        listener.kill();
        listener.waitForFinished();
    }
    bool start() {
        if (!waitForHeard("listening on 224.0.0.1:6649")) return false;
        app.start();
        return waitForHeard("0_0_2  PC clock, synchronised");
    }
    bool stop() { return app.terminate(WaitMs) >= 0 && waitForHeard("0_0_9  server shutting down"); }
    bool waitForHeard(const QByteArray& text) {
        QDeadlineTimer deadline(WaitMs);
        while (!heard.contains(text) && !deadline.hasExpired()) {
            listener.waitForReadyRead(50);
            heard += listener.readAllStandardOutput();
        }
        return heard.contains(text);
    }
    AppProcess app;
    QProcess listener;
    QByteArray heard;
};

// A request frame from `from` to its own address's port 6645, then closed.
void request(const QByteArray& frame, const QString& from) {
    QTcpSocket s;
    QVERIFY(s.bind(QHostAddress(from), 0));
    s.connectToHost(QHostAddress(from), 6645);
    QVERIFY(s.waitForConnected(WaitMs));
    s.write(frame);
    QVERIFY(s.waitForBytesWritten(WaitMs));
    s.disconnectFromHost();
}

QByteArray field(const QByteArray& out, const QByteArray& name) {
    for (const QByteArray& line : out.split('\n'))
        if (line.startsWith(name)) return line.mid(9);
    return {};
}
} // namespace

class TestService : public QObject {
    Q_OBJECT
private slots:
    void announcementsSeenFromOutside() {
        Server s;
        QVERIFY(s.start());
        QVERIFY(s.stop());
        const QList<QByteArray> lines = s.heard.trimmed().split('\n');
        QCOMPARE(lines.size(), 3); // "listening on", then exactly two announcements
        QVERIFY(lines[1].endsWith("0_0_2  PC clock, synchronised"));
        QVERIFY(lines[2].endsWith("0_0_9  server shutting down"));
    }

    void probeRequestEachKind_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("korvat") << QStringLiteral("korvat") << QByteArray("KORVAT") << QByteArray();
        QTest::newRow("korvat1010") << QStringLiteral("korvat1010") << QByteArray("KORVAT1010")
                                    << QByteArray("0_0_2 (PC clock, synchronised)");
        QTest::newRow("korvat1012") << QStringLiteral("korvat1012") << QByteArray("KORVAT1010")
                                    << QByteArray("0_0_2 (PC clock, synchronised)");
        QTest::newRow("quorix") << QStringLiteral("quorix") << QByteArray("QUORIX") << QByteArray();
    }
    void probeRequestEachKind() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, format);
        QFETCH(QByteArray, status);
        Server s;
        QVERIFY(s.start());
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const ProbeResult r = runProbe({QStringLiteral("request"), QStringLiteral("127.0.0.1"),
                                        QStringLiteral("--kind"), kind});
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QVERIFY2(r.exitCode == 0, r.out.constData());
        QCOMPARE(field(r.out, "format"), format);
        QCOMPARE(field(r.out, "status"), status);
        if (format == "QUORIX") {
            QVERIFY2(field(r.out, "utc date").endsWith("today in UTC"), r.out.constData());
            QVERIFY2(field(r.out, "clock").endsWith("(the local zone is UTC)"), r.out.constData());
        } else {
            const qint64 seconds = field(r.out, "seconds").split(' ').first().toLongLong();
            QVERIFY2(seconds >= before && seconds <= after, r.out.constData());
        }
        QVERIFY(s.app.waitForLine("\t2\tClient Send\t"));
        QVERIFY(s.stop());
    }

    // A burst of replies: every "Client Send" is on stderr once the program has ended, in
    // the order the replies went out, however it batched the lines.
    void stderrHasEveryEntryAtExit() {
        Server s;
        QVERIFY(s.start());
        const ProbeResult r = runProbe({QStringLiteral("bench"), QStringLiteral("127.0.0.1"),
                                        QStringLiteral("--requests"), QStringLiteral("500"),
                                        QStringLiteral("--sources"), QStringLiteral("5"),
                                        QStringLiteral("--kind"), QStringLiteral("quorix"),
                                        // The requests are all written at once, long before a
                                        // slow (sanitized, loaded) server has answered them.
                                        QStringLiteral("--timeout"), QStringLiteral("60000")});
        QVERIFY2(r.exitCode == 0, r.out.constData());
        QVERIFY(s.stop());
        QList<QByteArray> entries;
        for (const QByteArray& l : s.app.lines()) {
            const QList<QByteArray> cells = l.split('\t');
            if (cells.size() == 4 && (cells[2] == "Client Send" || cells[2] == "TEST"))
                entries.append(cells[2]);
        }
        QCOMPARE(entries.size(), 1000);
        for (qsizetype i = 0; i < entries.size(); ++i)
            QCOMPARE(entries[i], QByteArray(i % 2 ? "Client Send" : "TEST"));
    }

    void requesterNotListening() {
        Server s;
        QVERIFY(QDir().mkpath(s.app.logsDir()));
        QVERIFY(s.start());
        request(ks::requestFrame(ks::ClientType::Korvat1001), QStringLiteral("192.0.2.2"));
        QVERIFY(s.app.waitForLine("\t0\tSocket Error\t", WaitMs));
        // The next requester is served.
        QCOMPARE(runProbe({QStringLiteral("request"), QStringLiteral("127.0.0.1")}).exitCode, 0);
        QList<QByteArray> failures;
        for (const QByteArray& l : s.app.lines())
            if (l.contains("Socket Error")) failures.append(l);
        QCOMPARE(failures.size(), 1);
        // Date and time, type, event, no address (there was no connection).
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t0\tSocket Error\t$"))
                     .match(QString::fromLatin1(failures[0])).hasMatch(), failures[0].constData());
        const QStringList csv = QDir(s.app.logsDir()).entryList(QDir::Files);
        QCOMPARE(csv.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.csv$"))
                     .match(csv[0]).hasMatch(), qPrintable(csv[0]));
        QFile f(s.app.logsDir() + QLatin1Char('/') + csv[0]);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        QVERIFY(text.startsWith("\"Time\",\"Event\",\"Details\",\"col\"\r\n"));
        QVERIFY2(text.endsWith(",\"Socket Error\",\"\",\"0\"\r\n"), text.constData());
        QVERIFY(s.stop());
    }

    // Clients that reset their connection, some mid-frame: no box, and the service goes on.
    void clientResetsOpenNoBox() {
        Server s;
        QVERIFY(s.start());
        for (int i = 0; i < 20; ++i) {
            QTcpSocket c;
            c.connectToHost(QHostAddress::LocalHost, 6645);
            QVERIFY(c.waitForConnected(WaitMs));
            if (i % 2) {
                c.write("{KorvatCli");
                QVERIFY(c.waitForBytesWritten(WaitMs));
            }
            const linger abortive{1, 0};
            ::setsockopt(int(c.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            c.abort();
        }
        QCOMPARE(runProbe({QStringLiteral("request"), QStringLiteral("127.0.0.1")}).exitCode, 0);
        QVERIFY(s.stop());
        for (const QByteArray& l : s.app.lines()) QVERIFY2(!l.startsWith("Korvat Server"), l.constData());
    }

    // The status socket: only its user may use it, it counts what clients saw, and clients
    // that never read, send garbage or flood it cannot stall the program.
    void statusSocket() {
        Server s;
        QVERIFY(s.start());
        const QString path = s.app.runtimeDir() + QStringLiteral("/kserver.status");
        QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(runProbe({QStringLiteral("request"), QStringLiteral("127.0.0.1")}).exitCode, 0);
        request(ks::requestFrame(ks::ClientType::Korvat1001), QStringLiteral("192.0.2.2")); // nobody listens
        QVERIFY(s.app.waitForLine("\t0\tSocket Error\t", WaitMs));

        // Hostile local clients: silent, never reading, garbage, a flood of connections.
        QLocalSocket silent;
        silent.connectToServer(path);
        QVERIFY(silent.waitForConnected(WaitMs));
        QLocalSocket deaf; // asks, never reads
        deaf.connectToServer(path);
        QVERIFY(deaf.waitForConnected(WaitMs));
        deaf.write("status\n");
        QLocalSocket garbage;
        garbage.connectToServer(path);
        QVERIFY(garbage.waitForConnected(WaitMs));
        garbage.write(QByteArray(1 << 20, 'x'));
        std::vector<std::unique_ptr<QLocalSocket>> flood;
        for (int i = 0; i < 20; ++i) {
            flood.push_back(std::make_unique<QLocalSocket>());
            flood.back()->connectToServer(path);
        }
        // The garbage is cut off after a line's worth, the silent one after the time limit.
        QDeadlineTimer deadline(WaitMs);
        while ((garbage.state() != QLocalSocket::UnconnectedState ||
                silent.state() != QLocalSocket::UnconnectedState) && !deadline.hasExpired()) {
            garbage.waitForBytesWritten(10);
            silent.waitForDisconnected(10);
        }
        QCOMPARE(garbage.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(silent.state(), QLocalSocket::UnconnectedState);
        flood.clear();

        const ProbeResult json = runProbe({QStringLiteral("status"), QStringLiteral("--json")}, s.app.env);
        QCOMPARE(json.exitCode, 0);
        const QJsonObject o = QJsonDocument::fromJson(json.out).object();
        QCOMPARE(o.value(QLatin1String("version")).toString(), QStringLiteral("2.01"));
        QCOMPARE(o.value(QLatin1String("source")).toString(), QStringLiteral("PC clock"));
        QCOMPARE(o.value(QLatin1String("status")).toString(), QStringLiteral("0_0_2"));
        QCOMPARE(o.value(QLatin1String("status_words")).toString(), QStringLiteral("PC clock, synchronised"));
        QCOMPARE(o.value(QLatin1String("replies_sent")).toInt(), 3); // the refused one never got that far
        QCOMPARE(o.value(QLatin1String("replies_failed")).toInt(), 1);
        QCOMPARE(o.value(QLatin1String("replies_refused")).toInt(), 0);
        QCOMPARE(o.value(QLatin1String("requests_waiting")).toInt(), 0);
        QVERIFY(o.contains(QLatin1String("connections_open")));
        QVERIFY(!o.contains(QLatin1String("last_clock_setting")));

        // The second copy's request, and one the socket does not know (closed unanswered).
        QCOMPARE(ks::StatusServer::ask(path, "show", WaitMs), QByteArray("ok\n"));
        QCOMPARE(ks::StatusServer::ask(path, "stop", WaitMs), QByteArray());

        const ProbeResult text = runProbe({QStringLiteral("status")}, s.app.env);
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(text.out.contains("\nSource:            PC clock\n"
                                   "State:             0_0_2  PC clock, synchronised\n"
                                   "Last clock set:    none since start\n"
                                   "Replies:           3 sent, 1 failed, 0 refused\n"
                                   "Requests waiting:  0\n"),
                 text.out.constData());
        QVERIFY(s.stop());
        QCOMPARE(runProbe({QStringLiteral("status")}, s.app.env).exitCode, 3); // nobody answers
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
