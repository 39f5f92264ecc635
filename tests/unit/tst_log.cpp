// The event log: the 301-entry rule, Clear, colours by type, and the CSV file byte for byte.
#include "FakeClock.h"
#include "log/Log.h"
#include "log/LogCsv.h"
#include "protocol/CivilTime.h"

#include <QBrush>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using namespace ks;

namespace {
QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
const CivilTime SaveTime{2009, 3, 5, 14, 7, 9, 0};
} // namespace

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void boundary_data() {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("after");
        QTest::addColumn<QByteArray>("firstEvent");
        QTest::newRow("300 + 1 removes nothing") << 300 << 301 << QByteArray("e0");
        QTest::newRow("301 + 1 removes the oldest") << 301 << 301 << QByteArray("e1");
        QTest::newRow("empty + 1") << 0 << 1 << QByteArray("new");
    }
    void boundary() {
        QFETCH(int, before);
        QFETCH(int, after);
        QFETCH(QByteArray, firstEvent);
        LogModel model;
        for (int i = 0; i < before; ++i) model.add({"00:00:00", "e" + QByteArray::number(i), "d", "4"});
        model.add({"00:00:01", "new", "d", "2"});
        QCOMPARE(model.rowCount(), after);
        QCOMPARE(model.entries().first().event, firstEvent);
        QCOMPARE(model.entries().last().event, QByteArray("new"));
    }

    // Per type: the colours in the window, and the syslog priority of its stderr line when
    // stderr is the journal.
    void byType_data() {
        QTest::addColumn<QByteArray>("col");
        QTest::addColumn<QVariant>("background");
        QTest::addColumn<QVariant>("foreground");
        QTest::addColumn<QByteArray>("priority");
        const QVariant none;
        QTest::newRow("alert") << QByteArray("0") << QVariant(QBrush(QColor(255, 0, 0))) << QVariant(QBrush(QColor(255, 255, 255))) << QByteArray("<3>");
        QTest::newRow("success") << QByteArray("2") << QVariant(QBrush(QColor(0, 255, 0))) << none << QByteArray("<6>");
        QTest::newRow("notice") << QByteArray("4") << QVariant(QBrush(QColor(255, 255, 0))) << none << QByteArray("<5>");
        QTest::newRow("other type") << QByteArray("7") << none << none << QByteArray("<6>");
        QTest::newRow("not a number drawn as 0") << QByteArray("x") << QVariant(QBrush(QColor(255, 0, 0)))
                                                 << QVariant(QBrush(QColor(255, 255, 255))) << QByteArray("<3>");
    }
    void byType() {
        QFETCH(QByteArray, col);
        QFETCH(QVariant, background);
        QFETCH(QVariant, foreground);
        QFETCH(QByteArray, priority);
        // The line carries its own reading of the clock, so date and time never disagree.
        const CivilTime now{2026, 12, 7, 1, 2, 3, 0};
        const LogEntry entry{"23:59:59", "Event", "a\tb\\c\r\nd", col};
        const QByteArray rest = '\t' + col + "\tEvent\ta\\tb\\\\c\\r\\nd";
        QCOMPARE(mirrorLine(entry, now, true), priority + "01:02:03" + rest);
        QCOMPARE(mirrorLine(entry, now, false), "2026-12-07 01:02:03" + rest);
        LogModel model;
        model.add({"12:00:00", "Event", "Details", col});
        QCOMPARE(model.data(model.index(0, LogModel::DetailsColumn), Qt::BackgroundRole), background);
        QCOMPARE(model.data(model.index(0, LogModel::DetailsColumn), Qt::ForegroundRole), foreground);
        for (int c : {LogModel::TimeColumn, LogModel::EventColumn}) {
            QVERIFY(!model.data(model.index(0, c), Qt::BackgroundRole).isValid());
            QVERIFY(!model.data(model.index(0, c), Qt::ForegroundRole).isValid());
        }
    }

    void windowAddsWhileHiddenAndClears() {
        test::FakeClock clock(msFromCivil({2026, 12, 6, 23, 59, 58, 0}));
        TLogFrm log;
        QVERIFY(!log.isVisible());
        log.AddEntry(4, "NTP Sync", "Attempting Sync to pool");
        clock.advance(2500);
        log.AddEntry(0, "NTP Sync", "Connection Timeout");
        QCOMPARE(log.Model().rowCount(), 2);
        QCOMPARE(log.Model().entries()[0].time, QByteArray("23:59:58"));
        QCOMPARE(log.Model().entries()[1].time, QByteArray("00:00:00"));
        QCOMPARE(log.Model().entries()[1].col, QByteArray("0"));
        QVERIFY(log.ListView()->isColumnHidden(LogModel::ColColumn));

        log.Clear1()->trigger();
        QCOMPARE(log.Model().rowCount(), 0);
        log.Clear1()->trigger(); // on an empty list: nothing
        log.AddEntry(2, "Only", "one");
        QCOMPARE(log.Model().rowCount(), 1);
    }

    void csvBytes_data() {
        QTest::addColumn<QList<QByteArray>>("cells"); // four per entry
        QTest::addColumn<QByteArray>("expected");
        const QByteArray header = "\"Time\",\"Event\",\"Details\",\"col\"\r\n";
        QTest::newRow("empty log") << QList<QByteArray>{} << header;
        QTest::newRow("plain entry") << QList<QByteArray>{"14:07:09", "NTP Sync", "Successful Sync to 192.168.0.10", "2"}
                                     << header + "\"14:07:09\",\"NTP Sync\",\"Successful Sync to 192.168.0.10\",\"2\"\r\n";
        QTest::newRow("comma stays in one field") << QList<QByteArray>{"01:02:03", "Client Send", "a,b", "2"}
                                                  << header + "\"01:02:03\",\"Client Send\",\"a,b\",\"2\"\r\n";
        QTest::newRow("quote doubled") << QList<QByteArray>{"01:02:03", "GPS Data", "say \"hi\"", "2"}
                                       << header + "\"01:02:03\",\"GPS Data\",\"say \"\"hi\"\"\",\"2\"\r\n";
        QTest::newRow("non-ASCII bytes kept") << QList<QByteArray>{"01:02:03", "E", QByteArray("\xe9t\xe9\r\n", 5), "4"}
                                              << header + QByteArray("\"01:02:03\",\"E\",\"\xe9t\xe9\r\n\",\"4\"\r\n");
    }
    void csvBytes() {
        QFETCH(QList<QByteArray>, cells);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Logs")));
        QList<LogEntry> entries;
        for (qsizetype i = 0; i + 3 < cells.size(); i += 4) entries.append({cells[i], cells[i + 1], cells[i + 2], cells[i + 3]});
        QVERIFY(writeLogCsv(entries, dir.path(), SaveTime));
        QCOMPARE(readAll(dir.path() + QStringLiteral("/Logs/05-03-09-14-07-09.csv")), expected);
    }

    // The save goes to each Logs folder there is, beside the executable and in the user's
    // state folder, creates none, and says where it saved or why it could not.
    void saveToEachLogsFolder_data() {
        QTest::addColumn<bool>("besideExecutable");
        QTest::addColumn<bool>("inState");
        QTest::newRow("none") << false << false;
        QTest::newRow("beside the executable") << true << false;
        QTest::newRow("in the state folder") << false << true;
        QTest::newRow("both") << true << true;
    }
    void saveToEachLogsFolder() {
        QFETCH(bool, besideExecutable);
        QFETCH(bool, inState);
        QTemporaryDir bin;
        QTemporaryDir state;
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        const QString stateDir = state.path() + QStringLiteral("/korvat-server");
        if (besideExecutable) QVERIFY(QDir(bin.path()).mkdir(QStringLiteral("Logs")));
        if (inState) QVERIFY(QDir().mkpath(stateDir + QStringLiteral("/Logs")));
        QStringList errors;
        const QStringList saved = saveLogCsv({{"a", "b", "c", "0"}}, bin.path(), SaveTime, &errors);
        QStringList expected;
        if (besideExecutable) expected << bin.path() + QStringLiteral("/Logs/05-03-09-14-07-09.csv");
        if (inState) expected << stateDir + QStringLiteral("/Logs/05-03-09-14-07-09.csv");
        QCOMPARE(saved, expected);
        for (const QString& path : expected)
            QCOMPARE(readAll(path), QByteArray("\"Time\",\"Event\",\"Details\",\"col\"\r\n\"a\",\"b\",\"c\",\"0\"\r\n"));
        if (expected.isEmpty()) {
            QCOMPARE(errors, QStringList{QStringLiteral("No Logs folder: create %1/Logs or %2/Logs to save the log.")
                                             .arg(bin.path(), stateDir)});
            QVERIFY(!QFileInfo::exists(stateDir)); // nothing is created
            QCOMPARE(QDir(bin.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        } else {
            QCOMPARE(errors, QStringList());
        }
        qunsetenv("XDG_STATE_HOME");
    }

    void twoSavesInOneSecondReplace() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Logs")));
        QVERIFY(writeLogCsv({{"a", "first", "c", "0"}, {"a", "x", "c", "0"}}, dir.path(), SaveTime));
        QVERIFY(writeLogCsv({{"a", "second", "c", "4"}}, dir.path(), SaveTime));
        QCOMPARE(QDir(dir.path() + QStringLiteral("/Logs")).entryList(QDir::Files), QStringList{QStringLiteral("05-03-09-14-07-09.csv")});
        QCOMPARE(readAll(dir.path() + QStringLiteral("/Logs/05-03-09-14-07-09.csv")),
                 QByteArray("\"Time\",\"Event\",\"Details\",\"col\"\r\n\"a\",\"second\",\"c\",\"4\"\r\n"));
    }
};

QTEST_MAIN(TestLog)
#include "tst_log.moc"
