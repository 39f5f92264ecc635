// LoadSettings / SaveSettings: the eleven values of the settings key.
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "platform/Error.h"
#include "platform/Ui.h"

#include <QAction>
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
    BaudCode = 7;
    DataCode = 3;
    ParityCode = 0;
    PortNumber = 2;
    StopCode = 0;
    Chimes1->setChecked(false);
    GpsSetupPending = true;

    if (settings_.open()) {
        const RegFile& file = settings_.file();
        if (const QByteArray* data = file.find(Key, "ntpserver")) {
            const RegFile::Data d = RegFile::decode(*data);
            if (d.type != RegFile::Type::String && d.type != RegFile::Type::ExpandString)
                throw invalidType("ntpserver");
            NtpServer = d.text;
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
        auto toFlag = [](CodeLabel* label) { return [label](quint32 v) { label->Tag = v != 0 ? 1 : 0; }; };
        readDword("baud", toField(BaudCode));
        readDword("data", toField(DataCode));
        readDword("parity", toField(ParityCode));
        readDword("port", toField(PortNumber));
        readDword("stop", toField(StopCode));
        readDword("chimes", [this](quint32 v) { Chimes1->setChecked(v != 0); });
        readDword("source", toField(SyncSource));
        readDword("autoconnect", toFlag(lblAuto));
        readDword("localtime", toFlag(lblLOC));
        readDword("gmt", toFlag(lblGMT));
    }
    ShowSettingsInPanel();
}

void TForm1::SaveSettings() {
    RegFile& file = settings_.file();
    file.set(Key, "baud", dword(BaudCode));
    file.set(Key, "data", dword(DataCode));
    file.set(Key, "parity", dword(ParityCode));
    file.set(Key, "port", dword(PortNumber));
    file.set(Key, "stop", dword(StopCode));
    file.set(Key, "chimes", dword(Chimes1->isChecked() ? 1 : 0));
    file.set(Key, "source", dword(SyncSource));
    file.set(Key, "ntpserver", RegFile::encodeString(NtpServer));
    file.set(Key, "autoconnect", dword(lblAuto->Tag != 0 ? 1 : 0));
    file.set(Key, "localtime", dword(lblLOC->Tag != 0 ? 1 : 0));
    file.set(Key, "gmt", dword(lblGMT->Tag != 0 ? 1 : 0));
    // One file holds all values: when it cannot be written, none was stored, so the
    // first value is the one named. The new state stays in force in memory.
    QString error;
    if (!settings_.save(&error))
        showMessage(QStringLiteral("Korvat Server"), QStringLiteral("Failed to set data for 'baud'"),
                    MessageIcon::Critical);
}

} // namespace ks
