// The settings key in Wine's real registry: what the store reads of each registry type, and
// what it writes back (the runner reads that with "reg query" and compares it line by line).
#include "platform/SettingsStore.h"

#include <QTest>

#include <windows.h>

using namespace ks;

namespace {
const char SubKey[] = "SOFTWARE\\BREVANE\\KORVATSERVER";

void setRaw(const char* name, DWORD type, const QByteArray& bytes) {
    HKEY key = nullptr;
    QCOMPARE(
        RegCreateKeyExA(HKEY_CURRENT_USER, SubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        LONG(ERROR_SUCCESS));
    QCOMPARE(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.constData()),
                            DWORD(bytes.size())),
             LONG(ERROR_SUCCESS));
    RegCloseKey(key);
}
} // namespace

class TestRegistry : public QObject {
    Q_OBJECT
private slots:
    void missingKeyReadsNothingAndCreatesNothing() {
        RegDeleteKeyA(HKEY_CURRENT_USER, SubKey);
        SettingsStore store;
        QVERIFY(!store.open());
        HKEY key = nullptr;
        QCOMPARE(RegOpenKeyExA(HKEY_CURRENT_USER, SubKey, 0, KEY_READ, &key), LONG(ERROR_FILE_NOT_FOUND));
    }

    // Each registry type as the settings reader sees it: text and numbers as they are,
    // an expandable text unexpanded, anything else as data of another type.
    void readsEachType_data() {
        QTest::addColumn<uint>("type");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("REG_SZ") << uint(REG_SZ) << QByteArray("pool.ntp.org", 13)
                                << QByteArray("\"pool.ntp.org\"");
        QTest::newRow("REG_SZ quote")
            << uint(REG_SZ) << QByteArray("a\"b\\c", 6) << QByteArray("\"a\\\"b\\\\c\"");
        QTest::newRow("REG_SZ empty") << uint(REG_SZ) << QByteArray("", 1) << QByteArray("\"\"");
        QTest::newRow("REG_EXPAND_SZ") << uint(REG_EXPAND_SZ) << QByteArray("%TEMP%\\x", 9)
                                       << QByteArray("hex(2):25,54,45,4d,50,25,5c,78,00");
        QTest::newRow("REG_DWORD") << uint(REG_DWORD) << QByteArray("\x06\x00\x00\x00", 4)
                                   << QByteArray("dword:00000006");
        QTest::newRow("REG_DWORD high")
            << uint(REG_DWORD) << QByteArray("\xff\xff\xff\xff", 4) << QByteArray("dword:ffffffff");
        QTest::newRow("REG_BINARY") << uint(REG_BINARY) << QByteArray("\x07\x00", 2)
                                    << QByteArray("hex:07,00");
        QTest::newRow("REG_QWORD") << uint(REG_QWORD) << QByteArray(8, '\0')
                                   << QByteArray("hex(b):00,00,00,00,00,00,00,00");
    }
    void readsEachType() {
        QFETCH(uint, type);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, text);
        RegDeleteKeyA(HKEY_CURRENT_USER, SubKey);
        setRaw("ntpserver", type, bytes);
        SettingsStore store;
        QVERIFY(store.open());
        const QByteArray* data = store.file().find(SettingsStore::MainKey, "ntpserver");
        QVERIFY(data);
        QCOMPARE(*data, text);
    }

    // The eleven values as the program saves them; a value of a type it does not write
    // stays as it was.
    void savesTextAndNumbers() {
        RegDeleteKeyA(HKEY_CURRENT_USER, SubKey);
        setRaw("other", REG_BINARY, QByteArray("\x01\x02", 2));
        SettingsStore store;
        QVERIFY(store.open());
        RegFile& file = store.file();
        const QByteArray key = SettingsStore::MainKey;
        const std::pair<const char*, quint32> numbers[] = {{"baud", 6},   {"data", 3},       {"parity", 2},
                                                           {"port", 9},   {"stop", 0},       {"chimes", 1},
                                                           {"source", 1}, {"autoconnect", 1}};
        for (const auto& [name, value] : numbers) file.set(key, name, RegFile::encodeDword(value));
        file.set(key, "ntpserver", RegFile::encodeString("ntp.example"));
        file.set(key, "localtime", RegFile::encodeDword(0));
        file.set(key, "gmt", RegFile::encodeDword(quint32(-1)));
        QString error;
        QVERIFY2(store.save(&error), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
