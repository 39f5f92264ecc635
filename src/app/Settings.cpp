// LoadSettings / SaveSettings: the eleven values of the settings key.
#include "app/TimeNow.h"
#include "platform/Error.h"
#include "platform/Ui.h"

#include <QLineEdit>

namespace ks {

namespace {
const QByteArray Key = SettingsStore::MainKey;

QByteArray dword(qint16 value) { return RegFile::encodeDword(quint32(qint32(value))); }

Error invalidType(const char* name) {
    return Error(QStringLiteral("Invalid data type for '%1'").arg(QLatin1String(name)));
}
} // namespace

void TForm1::LoadSettings() {
    Config = StoredSettings{};
    GpsSetupPending = true;

    if (settings_.open()) {
        const RegFile& file = settings_.file();
        if (const QByteArray* data = file.find(Key, "ntpserver")) {
            const RegFile::Data d = RegFile::decode(*data);
            if (d.type != RegFile::Type::String && d.type != RegFile::Type::ExpandString)
                throw invalidType("ntpserver");
            Config.NtpServer = d.text;
        }
        // Each present value is read as 32 bits and cut to its 16-bit field; the flags are
        // "not 0". A missing value keeps its default.
        auto readDword = [&](const char* name, auto&& store) {
            const QByteArray* data = file.find(Key, name);
            if (!data) return;
            const RegFile::Data d = RegFile::decode(*data);
            if (d.type != RegFile::Type::Dword) throw invalidType(name);
            store(d.dword);
        };
        auto toField = [](qint16& field) { return [&field](quint32 v) { field = qint16(v); }; };
        auto toFlag = [](bool& flag) { return [&flag](quint32 v) { flag = v != 0; }; };
        StoredSettings& c = Config;
        readDword("baud", toField(c.BaudCode));
        readDword("data", toField(c.DataCode));
        readDword("parity", toField(c.ParityCode));
        readDword("port", toField(c.PortNumber));
        readDword("stop", toField(c.StopCode));
        readDword("chimes", toFlag(c.Chimes));
        readDword("source", [&c](quint32 v) { c.SyncSource = TimeSource(qint16(v)); });
        readDword("autoconnect", toFlag(c.AutoConnect));
        readDword("localtime", toFlag(c.Loc));
        readDword("gmt", toFlag(c.Gmt));
        readDword("onsecond", toFlag(c.OnSecond));
    }
    ShowSettingsInPanel();
    Edit1->setText(QString::fromLocal8Bit(Config.NtpServer));
}

void TForm1::SaveSettings() {
    RegFile& file = settings_.file();
    const StoredSettings& c = Config;
    file.set(Key, "baud", dword(c.BaudCode));
    file.set(Key, "data", dword(c.DataCode));
    file.set(Key, "parity", dword(c.ParityCode));
    file.set(Key, "port", dword(c.PortNumber));
    file.set(Key, "stop", dword(c.StopCode));
    file.set(Key, "chimes", dword(c.Chimes));
    file.set(Key, "source", dword(qint16(c.SyncSource)));
    file.set(Key, "ntpserver", RegFile::encodeString(c.NtpServer));
    file.set(Key, "autoconnect", dword(c.AutoConnect));
    file.set(Key, "localtime", dword(c.Loc));
    file.set(Key, "gmt", dword(c.Gmt));
    // Written once it is on or already stored: a file that never had it stays as before.
    if (c.OnSecond || file.find(Key, "onsecond")) file.set(Key, "onsecond", dword(c.OnSecond));
    // One file holds all values: when it cannot be written, none was stored, so the
    // first value is the one named. The new state stays in force in memory.
    QString error;
    if (!settings_.save(&error))
        showMessage(QStringLiteral("Korvat Server"), QStringLiteral("Failed to set data for 'baud'"),
                    MessageIcon::Critical);
}

} // namespace ks
