// Beyond the golden cases: a failing handler's stderr, the log window, the files saved to disk.
#include "FakeClock.h"
#include "app/Application.h"
#include "log/Log.h"
#include "log/LogCsv.h"
#include "platform/Error.h"
#include "platform/SettingsStore.h"
#include "protocol/RegFile.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTreeView>

#include <unistd.h>

using namespace ks;

namespace {
const QByteArray Key = SettingsStore::MainKey;
const QByteArray CsvHeader = "\"Time\",\"Event\",\"Details\",\"col\"\r\n";
const auto OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
QFileDevice::Permissions permissions(const QString& path) { // the user's bits mirror the owner's
    return QFile::permissions(path) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser);
}

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    // Shown in the "Korvat Server" box (stderr when headless); the loop goes on to the next event.
    void failureInHandlerIsShownAndTheLoopGoesOn() {
        QTemporaryFile err;
        QVERIFY(err.open());
        const int saved = dup(2);
        dup2(err.handle(), 2);
        int handled = 0;
        for (const QByteArray shown : {"Asynchronous socket error 104", "out of range", ""})
            for (int i = 0; i < 2; ++i)
                QTimer::singleShot(0, [&handled, shown] {
                    ++handled;
                    if (shown.startsWith("Asynchronous")) throw Error(QString::fromLatin1(shown));
                    if (!shown.isEmpty()) throw std::runtime_error(shown.toStdString());
                });
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();
        dup2(saved, 2);
        ::close(saved);
        QCOMPARE(readAll(err.fileName()),
                 QByteArray("Korvat Server: Asynchronous socket error 104\n").repeated(2) +
                     QByteArray("Korvat Server: out of range\n").repeated(2));
        QCOMPARE(handled, 6);
    }

    void logWindowAddsWhileHiddenAndClears() {
        test::FakeClock clock(msFromCivil({2026, 12, 6, 23, 59, 58, 0}));
        LogBook book;
        TLogFrm log(book);
        book.AddEntry(4, "NTP Sync", "Attempting Sync to pool");
        clock.advance(2500);
        book.AddEntry(0, "NTP Sync", "Connection Timeout");
        QVERIFY(!log.isVisible() && log.ListView()->isColumnHidden(LogModel::ColColumn));
        QCOMPARE(log.ListView()->model()->rowCount(), 2);
        const QList<LogEntry>& entries = book.Model().entries();
        QCOMPARE(entries[0].time + entries[0].col, QByteArray("23:59:584"));
        QCOMPARE(entries[1].time + entries[1].col, QByteArray("00:00:000"));
        log.Debug1()->trigger(); // the window's option is the log's
        QVERIFY(book.ShowDebug != qEnvironmentVariableIsSet("KSERVER_SHOW_DEBUG"));
        log.Clear1()->trigger();
        log.Clear1()->trigger(); // on an empty list: nothing
        QCOMPARE(book.Model().rowCount(), 0);
    }

    // To each Logs folder there is, beside the executable and in the user's state folder; none
    // is created; a second save in the same second replaces the file.
    void logSavedToEachLogsFolder() {
        for (const int where : {0, 1, 2, 3}) { // none, beside the executable, in the state folder, both
            const bool besideExecutable = where & 1, inState = where & 2;
            QTemporaryDir bin, state;
            qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
            const QString stateDir = state.filePath(QStringLiteral("korvat-server"));
            QStringList expected, errors;
            for (QString dir : {besideExecutable ? bin.path() : QString(), inState ? stateDir : QString()})
                if (!dir.isEmpty() && QDir().mkpath(dir + QStringLiteral("/Logs")))
                    expected << dir + QStringLiteral("/Logs/05-03-09-14-07-09.csv");
            const CivilTime at{2009, 3, 5, 14, 7, 9, 0};
            const QList<LogEntry> entries{{"a", "b", "c", "0"}, {"d", "e", "f", "4"}};
            QCOMPARE(saveLogCsv(entries, bin.path(), at, &errors), expected);
            for (const QString& path : expected)
                QCOMPARE(readAll(path), CsvHeader + "\"a\",\"b\",\"c\",\"0\"\r\n\"d\",\"e\",\"f\",\"4\"\r\n");
            const QString none = QStringLiteral("No Logs folder: create %1/Logs or %2/Logs to save the log.");
            QCOMPARE(errors.join(QLatin1Char('\n')),
                     expected.isEmpty() ? none.arg(bin.path(), stateDir) : QString());
            QCOMPARE(saveLogCsv({}, bin.path(), at, &errors), expected);
            for (const QString& path : expected) QCOMPARE(readAll(path), CsvHeader);
            for (const QTemporaryDir* dir : {&bin, &state})
                QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(),
                         dir == &bin ? int(besideExecutable) : int(inState));
            qunsetenv("XDG_STATE_HOME");
        }
    }

    // Nothing is created on open; the save creates the folder, reuses a leftover of an
    // interrupted save (with other permissions) and leaves only the file, private. Saving
    // through that file and a rename is what keeps the file whole when the program is killed
    // mid-save (bench/soak's settings-kill kills it a thousand times).
    void settingsSavedPrivately() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("BREVANE/KORVATSERVER.reg"));
        SettingsStore store(path);
        QVERIFY(!store.open() && !QFile::exists(dir.filePath(QStringLiteral("BREVANE"))));
        store.file().set(Key, "ntpserver", RegFile::encodeString("pool.example"));
        QVERIFY(store.save(nullptr) && permissions(path) == OwnerOnly);
        QFile leftover(path + QStringLiteral(".saving"));
        QVERIFY(leftover.open(QIODevice::WriteOnly) && leftover.write(QByteArray(50000, 'x')) == 50000);
        leftover.close();
        QVERIFY(leftover.setPermissions(OwnerOnly | QFileDevice::ReadOther | QFileDevice::WriteOther));
        store.file().set(Key, "baud", RegFile::encodeDword(7));
        QVERIFY(store.save(nullptr));
        QCOMPARE(QDir(dir.filePath(QStringLiteral("BREVANE"))).entryList(QDir::Files),
                 {QStringLiteral("KORVATSERVER.reg")});
        QCOMPARE(permissions(path), OwnerOnly);
        SettingsStore again(path);
        QVERIFY(again.open());
        QCOMPARE(RegFile::decode(*again.file().find(Key, "NTPSERVER")).text, QByteArray("pool.example"));
        QVERIFY(readAll(path).contains("\"baud\"=dword:00000007\r\n"));
    }
};

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    KsApplication app(argc, argv);
    TestPlatform test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_platform.moc"
