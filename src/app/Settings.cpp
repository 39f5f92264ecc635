// LoadSettings / SaveSettings: the eleven values of the settings key.
#include "app/TimeNow.h"
#include "platform/Error.h"
#include "platform/Ui.h"
#include "protocol/SettingRanges.h"

#include <QLineEdit>

namespace ks {

namespace {
const QByteArray Key = SettingsStore::MainKey;

QByteArray dword(qint16 value) { return RegFile::encodeDword(quint32(qint32(value))); }

ConfigError invalidType(const char* name) {
    return ConfigError(QStringLiteral("Invalid data type for '%1'").arg(QLatin1String(name)));
}
} // namespace

void TForm1::LoadSettings() {
    Config = StoredSettings{};
    IgnoredSettings.clear();
    GpsSetupPending = true;

    if (settings_.open()) {
        const RegFile& file = settings_.file();
        if (const QByteArray* stored = file.find(Key, "ntpserver")) {
            const RegFile::Data d = RegFile::decode(*stored);
            if (d.type != RegFile::Type::String && d.type != RegFile::Type::ExpandString)
                throw invalidType("ntpserver");
            Config.NtpServer = d.text;
        }
        // Each present value is read as 32 bits and cut to its 16-bit field; the flags are
        // "not 0". A missing value keeps its default.
        auto readDword = [&](const char* name, auto&& store) {
            const QByteArray* stored = file.find(Key, name);
            if (!stored) return;
            const RegFile::Data d = RegFile::decode(*stored);
            if (d.type != RegFile::Type::Dword) throw invalidType(name);
            const qint32 value = qint32(d.dword);
            const DwordRange* range = dwordRange(name);
            if (!range || dwordAllowed(*range, value)) return store(d.dword);
            const QByteArray notice = outOfRangeNotice(*range, value, settings_.path().toLocal8Bit());
            writeStderrLine(notice, 4);
            IgnoredSettings.append({name, *stored, notice});
            store(quint32(range->fallback));
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
        // Two's complement: -50 is ffffffce.
        readDword("gpsdelay", [&c](quint32 v) { c.GpsDelayMs = qint32(v); });
        readDword("slew", toFlag(c.Slew));
        readDword("onsecond", toFlag(c.OnSecond));
        readDword("holdover", [&c](quint32 v) { c.HoldoverS = qint32(v); });
    }
    if (const QByteArray w = holdoverWarning(Config.HoldoverS, Config.SyncSource); !w.isEmpty())
        writeStderrLine("Settings: " + w, 4);
    ApplyDisciplineSetting();
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
    // The newer values are written once they differ from what the file says (a missing or
    // unusable one says its default), so a file without them stays as it was.
    const auto setNewer = [&](const char* name, qint32 value) {
        const QByteArray* stored = file.find(Key, name);
        const RegFile::Data d = stored ? RegFile::decode(*stored) : RegFile::Data{};
        const DwordRange& range = *dwordRange(name);
        const bool usable = stored && d.type == RegFile::Type::Dword && dwordAllowed(range, qint32(d.dword));
        if ((usable ? qint32(d.dword) : range.fallback) != value)
            file.set(Key, name, RegFile::encodeDword(quint32(value)));
    };
    setNewer("gpsdelay", c.GpsDelayMs);
    setNewer("slew", c.Slew);
    setNewer("onsecond", c.OnSecond);
    setNewer("holdover", c.HoldoverS);
    // A value the operator has not changed since it was found outside its set is kept as found.
    IgnoredSettings.removeIf([&file](const IgnoredSetting& kept) {
        const QByteArray* now = file.find(Key, kept.name);
        if (!now) return true;
        if (*now == kept.stored) return false;
        const QByteArray fallback = RegFile::encodeDword(quint32(dwordRange(kept.name)->fallback));
        if (*now != fallback) return true;
        file.set(Key, kept.name, kept.stored);
        return false;
    });
    // One file holds all values: when it cannot be written, none was stored, so the
    // first value is the one named. The new state stays in force in memory.
    QString error;
    if (!settings_.save(&error))
        showMessage(QStringLiteral("Korvat Server"), QStringLiteral("Failed to set data for 'baud'"),
                    MessageIcon::Critical);
}

} // namespace ks
