// The settings file's saves: private, atomic, never a torn file. What is read and written
// back, and the failures, are the golden cases in tests/golden/settings.
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
