#pragma once

#include "protocol/RegFile.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <optional>
#include <type_traits>

namespace ks {

// The values of the settings key as the program uses them. A default-made one holds every
// setting's default from the table below.
struct StoredSettings {
    StoredSettings();
    QByteArray NtpServer;
    // Serial codes, as the port driver numbers them.
    qint16 BaudCode;   // speed code: 6 = 4800, 7 = 9600 baud
    qint16 DataCode;   // data bits - 5
    qint16 ParityCode; // 0 none, 1 odd, 2 even
    qint16 PortNumber; // COMn
    qint16 StopCode;   // 0 one, 2 two stop bits
    bool Chimes;       // "Hour Alarm"
    TimeSource SyncSource;
    bool AutoConnect; // AUTO: the tick reopens the serial port
    bool Loc;         // Quorix replies carry local time
    bool Gmt;         // shown only; the panel keeps one of LOC and GMT on
    // Added to every GPS sentence's time before it sets the clock: the receiver's own delay.
    qint32 GpsDelayMs;
    bool Slew; // the clock discipline: false steps at every sample
    // "onsecond": replies leave on the edge of the second after their request, carrying the
    // second that has just begun. Off, they leave as soon as their connection is up.
    bool OnSecond;
    // The NTP server: off, nothing listens on UDP.
    bool NtpServe;
    quint16 NtpPort;
    bool NtpRateLimit; // the per-address limit; off for a gateway hiding many clients
    // "holdover": once the source's last good sample is older than this many seconds, the
    // state shows synchronising; 0 is no limit.
    qint32 HoldoverS;
};

enum class SettingType { Dword, String };
// Values added after the first eleven are written only once they differ from what the file
// says (a missing one says its default), so a file without them stays without them.
enum class SettingWrite { Always, OnceChanged };

struct SettingWord {
    qint32 code;
    QByteArray word; // what an operator may type for the code
};

// One setting: its value in the file, its allowed values, and where StoredSettings holds it.
struct SettingDef {
    const char* name;
    SettingType type;
    SettingWrite write;
    qint32 fallback;                      // the default, also in place of a value not allowed
    QList<QPair<qint32, qint32>> allowed; // inclusive intervals
    QList<SettingWord> words;
    QList<qint32> panel; // the codes of the window's labels of this setting, in label order
    qint32 (*get)(const StoredSettings&) = nullptr;
    void (*set)(StoredSettings&, quint32) = nullptr; // the stored 32 bits, cut to the field
    QByteArray StoredSettings::*text = nullptr;      // a string's field
};

// Every setting, in the order a save writes them.
const QList<SettingDef>& settingsTable();
// The setting of that name (any case), or nullptr.
const SettingDef* findSetting(const QByteArray& name);

bool dwordAllowed(const SettingDef& setting, qint32 value);
// "1 to 5", "0 or 1", "0, 2 or 3".
QByteArray allowedText(const SettingDef& setting);
// What the operator reads about a stored value outside its set.
QByteArray outOfRangeNotice(const SettingDef& setting, qint32 value, const QByteArray& file);
// "a dword", "a string".
const char* typeWords(SettingType type);

// A value as an operator types it: a word of the setting, or a decimal number among its
// allowed ones; a string as it is. Nothing (and *refusal says what is allowed) otherwise.
struct SettingValue {
    qint32 code = 0;
    QByteArray text;
};
std::optional<SettingValue> parseSettingValue(const SettingDef& setting, const QByteArray& typed,
                                              QByteArray* refusal);
// A setting's value in StoredSettings as `get` shows it: its word when it has one.
QByteArray settingValueText(const SettingDef& setting, const StoredSettings& settings);
// "NAME VALUE" as an operator asks for a change: the setting and its new value, or nothing
// and *refusal says why (an unknown name lists the known ones).
struct SettingChange {
    const SettingDef* setting = nullptr;
    SettingValue value;
};
std::optional<SettingChange> parseSettingChange(const QByteArray& line, QByteArray* refusal);
// "name value" lines of every setting, or of the one named; nothing (and *refusal) for an
// unknown name.
std::optional<QByteArray> settingsListing(const StoredSettings& settings, const QByteArray& name,
                                          QByteArray* refusal);

// The first setting that differs between the two, else the first of the table.
QByteArray changedSetting(const StoredSettings& before, const StoredSettings& after);
void applySettingValue(const SettingDef& setting, const SettingValue& value, StoredSettings& settings);

// A stored value outside its allowed set: the default runs in its place, the file keeps the
// stored bytes until the operator picks another value.
struct IgnoredSetting {
    QByteArray name;
    QByteArray stored; // as the file holds it
    QByteArray notice; // what the operator was told
};

// A value of another type than its setting's, and where the file holds it (line 0: unknown).
struct SettingTypeError {
    QByteArray name;
    int line = 0;
    SettingType expected = SettingType::Dword;
};

// Reads the settings of `key` over the defaults. A value outside its set is replaced by its
// default and listed in *ignored with a notice naming `fileName`.
std::optional<StoredSettings> readSettings(const RegFile& file, const QByteArray& key,
                                           const QByteArray& fileName, QList<IgnoredSetting>* ignored,
                                           SettingTypeError* error);
// Writes every setting into `key` as a save does; an ignored value the operator has not
// changed since is kept as found (and leaves *ignored once changed).
void writeSettings(RegFile& file, const QByteArray& key, const StoredSettings& settings,
                   QList<IgnoredSetting>* ignored);

// Bits per second of a speed code 1-15; 0 for any other code.
quint32 baudRateOf(int code);

} // namespace ks
