// The status socket of the program as a process: only its user may use it, and clients that
// never read, send garbage or flood it cannot stall the program (what it answers is in the
// golden service scenarios).
#include "AppProcess.h"
#include "Wait.h"
#include "platform/StatusServer.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QTest>

#include <memory>
#include <vector>

class TestService : public QObject {
    Q_OBJECT
private slots:
    void statusSocketWithstandsHostileClients() {
        ks::test::AppProcess app;
        app.start();
        const QString path = app.runtimeDir() + QStringLiteral("/kserver.status");
        QVERIFY(app.waitForLine("starting: ", 20000));
        QVERIFY(ks::test::waitUntil([&] { return QFileInfo::exists(path); }, 20000));
        QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        std::vector<std::unique_ptr<QLocalSocket>> c; // silent, deaf (asks, never reads), garbage, a flood
        for (int i = 0; i < 23; ++i) {
            c.push_back(std::make_unique<QLocalSocket>());
            c.back()->connectToServer(path);
            if (i < 3) QVERIFY(c.back()->waitForConnected(20000));
        }
        c[1]->write("status\n");
        c[2]->write(QByteArray(1 << 20, 'x'));
        // The garbage is cut off after a line's worth, the silent one after the time limit.
        QVERIFY(ks::test::waitUntil([&] {
            c[2]->waitForBytesWritten(10);
            const auto gone = [](const auto& s) { return s->state() == QLocalSocket::UnconnectedState; };
            return gone(c[0]) && gone(c[2]);
        }, 20000));
        c.clear();
        QVERIFY(ks::StatusServer::ask(path, "status", 20000).startsWith("{\"connections_open\":"));
        QCOMPARE(ks::StatusServer::ask(path, "show", 20000), QByteArray("ok\n")); // a second copy's
        QCOMPARE(ks::StatusServer::ask(path, "stop", 20000), QByteArray()); // unknown: closed unanswered
        QVERIFY(app.terminate(20000) >= 0);
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
