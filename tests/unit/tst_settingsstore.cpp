// The settings file: REGEDIT4 text read and written, unknown content kept, atomic saves.
#include "platform/Error.h"
#include "platform/SettingsStore.h"
#include "protocol/RegFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace ks;

namespace {
const QByteArray Key = SettingsStore::MainKey;
}

class TestSettingsStore : public QObject {
    Q_OBJECT
private slots:
    void decode_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<quint32>("dword");
        QTest::newRow("dword") << QByteArray("dword:00000007") << int(RegFile::Type::Dword) << QByteArray() << 7u;
        QTest::newRow("dword above 16 bits") << QByteArray("dword:00010007") << int(RegFile::Type::Dword) << QByteArray() << 65543u;
        QTest::newRow("dword all ones") << QByteArray("dword:ffffffff") << int(RegFile::Type::Dword) << QByteArray() << 0xffffffffu;
        QTest::newRow("string with escapes") << QByteArray("\"a\\\\b\\\"c\"") << int(RegFile::Type::String) << QByteArray("a\\b\"c") << 0u;
        QTest::newRow("empty string") << QByteArray("\"\"") << int(RegFile::Type::String) << QByteArray() << 0u;
        QTest::newRow("expand string, not expanded") << QByteArray("hex(2):25,48,4f,53,54,25,00") << int(RegFile::Type::ExpandString)
                                                     << QByteArray("%HOST%") << 0u;
        QTest::newRow("binary") << QByteArray("hex:01,02") << int(RegFile::Type::Other) << QByteArray() << 0u;
    }
    void decode() {
        QFETCH(QByteArray, data);
        QFETCH(int, type);
        QFETCH(QByteArray, text);
        QFETCH(quint32, dword);
        const RegFile::Data d = RegFile::decode(data);
        QCOMPARE(int(d.type), type);
        QCOMPARE(d.text, text);
        QCOMPARE(d.dword, dword);
    }

    void parseErrors_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("line");
        QTest::newRow("empty file") << QByteArray() << 1;
        QTest::newRow("ini file") << QByteArray("[x]\nbaud=7\n") << 1;
        QTest::newRow("value before key") << QByteArray("REGEDIT4\n\n\"baud\"=dword:7\n") << 3;
        QTest::newRow("bad dword") << QByteArray("REGEDIT4\n[K]\n\"baud\"=dword:xyz\n") << 3;
        QTest::newRow("unterminated string") << QByteArray("REGEDIT4\r\n[K]\r\n\"a\"=\"b\r\n") << 3;
        QTest::newRow("broken key line") << QByteArray("REGEDIT4\n[K\n") << 2;
        QTest::newRow("bad hex") << QByteArray("REGEDIT4\n[K]\n\"a\"=hex:zz\n") << 3;
    }
    void parseErrors() {
        QFETCH(QByteArray, text);
        QFETCH(int, line);
        RegFile::ParseError error;
        QVERIFY(!RegFile::parse(text, &error));
        QCOMPARE(error.line, line);
    }

    void unknownContentSurvivesASave() {
        const QByteArray in = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\n"
                              "\"extra\"=hex:01,02,\\\n  03\n\"baud\"=dword:00000006\n\n"
                              "[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER\\Ports]\n\"COM1\"=\"/dev/ttyUSB0\"\n";
        std::optional<RegFile> f = RegFile::parse(in, nullptr);
        QVERIFY(f);
        f->set(Key, "baud", RegFile::encodeDword(7));
        f->set(Key, "gmt", RegFile::encodeDword(1));
        QCOMPARE(f->serialize(),
                 QByteArray("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n"
                            "\"extra\"=hex:01,02,03\r\n\"baud\"=dword:00000007\r\n\"gmt\"=dword:00000001\r\n\r\n"
                            "[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER\\Ports]\r\n\"COM1\"=\"/dev/ttyUSB0\"\r\n\r\n"));
        QCOMPARE(RegFile::decode(*f->find(SettingsStore::PortsKey, "COM1")).text, QByteArray("/dev/ttyUSB0"));
    }

    void storeNeverCreatesOnOpenAndSavesPrivately() {
        QTemporaryDir dir;
        SettingsStore store(dir.path() + QStringLiteral("/BREVANE/KORVATSERVER.reg"));
        QVERIFY(!store.open());
        QVERIFY(!QFile::exists(store.path()));
        store.file().set(Key, "ntpserver", RegFile::encodeString("pool.example"));
        QString error;
        QVERIFY(store.save(&error));
        const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
        QCOMPARE(QFile::permissions(store.path()) & others, QFileDevice::Permissions());
        QVERIFY(QFile::permissions(store.path()).testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        SettingsStore again(store.path());
        QVERIFY(again.open());
        QCOMPARE(RegFile::decode(*again.file().find(Key, "NTPSERVER")).text, QByteArray("pool.example"));
    }

    void unreadableFileNamesFileAndLine() {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/k.reg");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("REGEDIT4\n[K]\ngarbage\n");
        f.close();
        SettingsStore store(path);
        try {
            store.open();
            QFAIL("no error");
        } catch (const Error& e) {
            QCOMPARE(e.message(), QStringLiteral("Cannot read the settings file %1, line 3: unreadable value line").arg(path));
        }
    }

    // A child saves in a loop and is killed at random moments: the file is always whole.
    void killDuringSaveLeavesAWholeFile() {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/k.reg");
        for (int round = 0; round < 20; ++round) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("KS_SAVE_LOOP"), path);
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(child.waitForReadyRead(5000)); // the child says when its first save is done
            QTest::qWait(int(QRandomGenerator::global()->bounded(30)));
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(5000));
            SettingsStore store(path);
            QVERIFY(store.open());
            const QByteArray* pad = store.file().find(Key, "pad");
            QVERIFY(pad);
            QCOMPARE(RegFile::decode(*pad).text.size(), 20000);
            // Interrupted saves do not pile up: at most the one file the next save reuses.
            const QStringList left = QDir(dir.path()).entryList(QDir::Files);
            QVERIFY2(left == QStringList{QStringLiteral("k.reg")} ||
                         left == (QStringList{QStringLiteral("k.reg"), QStringLiteral("k.reg.saving")}),
                     qPrintable(left.join(QLatin1Char(' '))));
        }
    }

    // A leftover of an interrupted save, with other permissions, is reused and gone after.
    void saveReusesALeftoverAndLeavesOnlyTheFile() {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/k.reg");
        QFile leftover(path + QStringLiteral(".saving"));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.write(QByteArray(50000, 'x'));
        leftover.close();
        QVERIFY(leftover.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ReadOther | QFileDevice::WriteOther));
        SettingsStore store(path);
        store.file().set(Key, "baud", RegFile::encodeDword(7));
        QString error;
        QVERIFY(store.save(&error));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("k.reg")});
        QFile saved(path);
        QCOMPARE(saved.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("\"baud\"=dword:00000007\r\n"));
    }
};

int main(int argc, char* argv[]) {
    const QByteArray loopPath = qgetenv("KS_SAVE_LOOP");
    if (!loopPath.isEmpty()) {
        SettingsStore store(QString::fromLocal8Bit(loopPath));
        store.open();
        for (quint32 i = 0; i < 100000; ++i) {
            store.file().set(Key, "pad", RegFile::encodeString(QByteArray(20000, char('a' + i % 26))));
            store.file().set(Key, "baud", RegFile::encodeDword(i));
            QString error;
            if (!store.save(&error)) return 1;
            if (i == 0) {
                fputs("saved\n", stdout);
                fflush(stdout);
            }
        }
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestSettingsStore test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_settingsstore.moc"
