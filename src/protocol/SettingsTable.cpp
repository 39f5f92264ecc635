#include "protocol/SettingsTable.h"

namespace ks {

namespace {

constexpr quint32 BaudRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

template <auto Member> qint32 getField(const StoredSettings& s) {
    // Widened with its sign, as the 16-bit fields are written.
    return qint32(s.*Member);
}

template <auto Member> void setField(StoredSettings& s, quint32 v) {
    using T = std::remove_cvref_t<decltype(s.*Member)>;
    if constexpr (std::is_same_v<T, bool>) s.*Member = v != 0;
    else if constexpr (std::is_enum_v<T>) s.*Member = T(std::underlying_type_t<T>(v));
    else s.*Member = T(v);
}

struct Field {
    qint32 (*get)(const StoredSettings&);
    void (*set)(StoredSettings&, quint32);
};
template <auto Member> constexpr Field field() { return {&getField<Member>, &setField<Member>}; }

SettingDef dword(const char* name, SettingWrite write, qint32 fallback, QList<QPair<qint32, qint32>> allowed,
                 QList<SettingWord> words, QList<qint32> panel, Field f) {
    return {name, SettingType::Dword, write, fallback, allowed, words, panel, f.get, f.set};
}

QList<SettingWord> baudWords() {
    QList<SettingWord> words;
    for (int code = 1; code < int(std::size(BaudRates)); ++code)
        words.append({code, QByteArray::number(BaudRates[code])});
    return words;
}

using S = StoredSettings;
constexpr SettingWrite Always = SettingWrite::Always;
constexpr SettingWrite OnceChanged = SettingWrite::OnceChanged;

} // namespace

const QList<SettingDef>& settingsTable() {
    static const QList<SettingWord> OnOff = {{0, "off"}, {1, "on"}};
    // clang-format off
    static const QList<SettingDef> table = {
        //    name           written      default allowed            words                                    panel codes
        dword("baud",        Always,      7,      {{1, 15}},         baudWords(),                             {6, 7},          field<&S::BaudCode>()),
        dword("data",        Always,      3,      {{2, 3}},          {},                                      {2, 3},          field<&S::DataCode>()),
        dword("parity",      Always,      0,      {{0, 2}},          {{0, "none"}, {1, "odd"}, {2, "even"}},  {0, 2, 1},       field<&S::ParityCode>()),
        dword("port",        Always,      2,      {{1, 5}},          {},                                      {1, 2, 3, 4, 5}, field<&S::PortNumber>()),
        dword("stop",        Always,      0,      {{0, 0}, {2, 2}},  {},                                      {0, 2},          field<&S::StopCode>()),
        dword("chimes",      Always,      0,      {{0, 1}},          OnOff,                                   {},              field<&S::Chimes>()),
        // 2 is kept: the tick treats it as a serial source
        dword("source",      Always,      0,      {{0, 3}},          {{0, "pc"}, {1, "gps"}, {3, "ntp"}},     {1, 3, 0},       field<&S::SyncSource>()),
        {"ntpserver", SettingType::String, Always, 0, {}, {}, {}, nullptr, nullptr, &S::NtpServer},
        dword("autoconnect", Always,      0,      {{0, 1}},          OnOff,                                   {},              field<&S::AutoConnect>()),
        dword("localtime",   Always,      0,      {{0, 1}},          OnOff,                                   {},              field<&S::Loc>()),
        dword("gmt",         Always,      1,      {{0, 1}},          OnOff,                                   {},              field<&S::Gmt>()),
        dword("gpsdelay",    OnceChanged, 0,      {{-1000, 1000}},   {},                                      {},              field<&S::GpsDelayMs>()),
        dword("slew",        OnceChanged, 0,      {{0, 1}},          OnOff,                                   {},              field<&S::Slew>()),
        dword("onsecond",    OnceChanged, 0,      {{0, 1}},          OnOff,                                   {},              field<&S::OnSecond>()),
        dword("ntpserve",    OnceChanged, 0,      {{0, 1}},          OnOff,                                   {},              field<&S::NtpServe>()),
        dword("ntpport",     OnceChanged, 123,    {{1, 65535}},      {},                                      {},              field<&S::NtpPort>()),
        dword("ntpratelimit", OnceChanged, 1,     {{0, 1}},          OnOff,                                   {},              field<&S::NtpRateLimit>()),
        dword("holdover",    OnceChanged, 0,      {{0, 86400}},      {},                                      {},              field<&S::HoldoverS>()),
    };
    // clang-format on
    return table;
}

namespace {

// "a, b or c"
QByteArray listText(QList<QByteArray> parts) {
    const QByteArray last = parts.takeLast();
    return parts.isEmpty() ? last : parts.join(", ") + " or " + last;
}

QByteArray storedData(const SettingDef& s, const StoredSettings& settings) {
    return s.type == SettingType::String ? RegFile::encodeString(settings.*s.text)
                                         : RegFile::encodeDword(quint32(s.get(settings)));
}

} // namespace

StoredSettings::StoredSettings() {
    for (const SettingDef& s : settingsTable())
        if (s.set) s.set(*this, quint32(s.fallback));
}

const SettingDef* findSetting(const QByteArray& name) {
    for (const SettingDef& s : settingsTable())
        if (name.compare(s.name, Qt::CaseInsensitive) == 0) return &s;
    return nullptr;
}

bool dwordAllowed(const SettingDef& setting, qint32 value) {
    for (const auto& [low, high] : setting.allowed)
        if (value >= low && value <= high) return true;
    return false;
}

QByteArray allowedText(const SettingDef& setting) {
    QList<QByteArray> parts;
    for (const auto& [low, high] : setting.allowed) {
        if (low == high) parts << QByteArray::number(low);
        else if (high == low + 1) parts << QByteArray::number(low) << QByteArray::number(high);
        else parts << QByteArray::number(low) + " to " + QByteArray::number(high);
    }
    return listText(parts);
}

QByteArray outOfRangeNotice(const SettingDef& setting, qint32 value, const QByteArray& file) {
    return "Settings: \"" + QByteArray(setting.name) + "\"=" + QByteArray::number(value) + " in " + file +
           " is not allowed (" + allowedText(setting) + "); using " + QByteArray::number(setting.fallback) +
           " until it is changed (the file keeps it)";
}

const char* typeWords(SettingType type) { return type == SettingType::String ? "a string" : "a dword"; }

std::optional<SettingValue> parseSettingValue(const SettingDef& setting, const QByteArray& typed,
                                              QByteArray* refusal) {
    if (setting.type == SettingType::String) return SettingValue{0, typed};
    for (const SettingWord& w : setting.words)
        if (typed.compare(w.word, Qt::CaseInsensitive) == 0) return SettingValue{w.code, {}};
    bool number = false;
    const qint32 code = typed.toInt(&number, 10);
    if (number && dwordAllowed(setting, code)) return SettingValue{code, {}};
    QList<QByteArray> words;
    for (const SettingWord& w : setting.words) words << w.word;
    if (refusal)
        *refusal = QByteArray(setting.name) + ": '" + typed + "' is not allowed (" + allowedText(setting) +
                   (words.isEmpty() ? QByteArray() : ", or " + listText(words)) + ')';
    return std::nullopt;
}

QByteArray settingValueText(const SettingDef& setting, const StoredSettings& settings) {
    if (setting.type == SettingType::String) return settings.*setting.text;
    const qint32 code = setting.get(settings);
    for (const SettingWord& w : setting.words)
        if (w.code == code) return w.word;
    return QByteArray::number(code);
}

namespace {
const SettingDef* knownSetting(const QByteArray& name, QByteArray* refusal) {
    if (const SettingDef* s = findSetting(name)) return s;
    QList<QByteArray> names;
    for (const SettingDef& s : settingsTable()) names << s.name;
    if (refusal) *refusal = "no setting '" + name + "' (" + listText(names) + ')';
    return nullptr;
}
} // namespace

std::optional<SettingChange> parseSettingChange(const QByteArray& line, QByteArray* refusal) {
    const qsizetype space = line.indexOf(' ');
    const SettingDef* setting = knownSetting(space < 0 ? line : line.left(space), refusal);
    if (!setting) return std::nullopt;
    const std::optional<SettingValue> value =
        parseSettingValue(*setting, space < 0 ? QByteArray() : line.mid(space + 1), refusal);
    if (!value) return std::nullopt;
    return SettingChange{setting, *value};
}

std::optional<QByteArray> settingsListing(const StoredSettings& settings, const QByteArray& name,
                                          QByteArray* refusal) {
    QByteArray out;
    if (!name.isEmpty()) {
        const SettingDef* s = knownSetting(name, refusal);
        if (!s) return std::nullopt;
        return QByteArray(s->name) + ' ' + settingValueText(*s, settings) + '\n';
    }
    for (const SettingDef& s : settingsTable())
        out += QByteArray(s.name) + ' ' + settingValueText(s, settings) + '\n';
    return out;
}

QByteArray changedSetting(const StoredSettings& before, const StoredSettings& after) {
    for (const SettingDef& s : settingsTable())
        if (storedData(s, before) != storedData(s, after)) return s.name;
    return settingsTable().first().name;
}

void applySettingValue(const SettingDef& setting, const SettingValue& value, StoredSettings& settings) {
    if (setting.type == SettingType::String) settings.*setting.text = value.text;
    else setting.set(settings, quint32(value.code));
    // The panel keeps exactly one of LOC and GMT on; so does a change from outside it.
    const QByteArray name = setting.name;
    if (name == "localtime" || name == "gmt") {
        const bool loc = (name == "localtime") == (value.code != 0);
        settings.Loc = loc;
        settings.Gmt = !loc;
    }
}

std::optional<StoredSettings> readSettings(const RegFile& file, const QByteArray& key,
                                           const QByteArray& fileName, QList<IgnoredSetting>* ignored,
                                           SettingTypeError* error) {
    StoredSettings settings;
    // The text first, then the numbers, so the first value of a wrong type is named.
    for (const SettingType pass : {SettingType::String, SettingType::Dword}) {
        for (const SettingDef& s : settingsTable()) {
            if (s.type != pass) continue;
            int line = 0;
            const QByteArray* stored = file.find(key, s.name, &line);
            if (!stored) continue; // a missing value keeps its default
            const RegFile::Data d = RegFile::decode(*stored);
            if (s.type == SettingType::String) {
                if (d.type != RegFile::Type::String && d.type != RegFile::Type::ExpandString) {
                    if (error) *error = {s.name, line, s.type};
                    return std::nullopt;
                }
                settings.*s.text = d.text;
                continue;
            }
            if (d.type != RegFile::Type::Dword) {
                if (error) *error = {s.name, line, s.type};
                return std::nullopt;
            }
            // Read as 32 bits and cut to the field; the flags are "not 0".
            if (dwordAllowed(s, qint32(d.dword))) {
                s.set(settings, d.dword);
                continue;
            }
            if (ignored) ignored->append({s.name, *stored, outOfRangeNotice(s, qint32(d.dword), fileName)});
            s.set(settings, quint32(s.fallback));
        }
    }
    return settings;
}

void writeSettings(RegFile& file, const QByteArray& key, const StoredSettings& settings,
                   QList<IgnoredSetting>* ignored) {
    for (const SettingDef& s : settingsTable()) {
        const QByteArray data = storedData(s, settings);
        if (s.write == SettingWrite::OnceChanged) {
            const QByteArray* stored = file.find(key, s.name);
            const RegFile::Data d = stored ? RegFile::decode(*stored) : RegFile::Data{};
            const bool usable = stored && d.type == RegFile::Type::Dword && dwordAllowed(s, qint32(d.dword));
            if ((usable ? qint32(d.dword) : s.fallback) == s.get(settings)) continue;
        }
        file.set(key, s.name, data);
    }
    if (!ignored) return;
    // A value the operator has not changed since it was found outside its set is kept as found.
    ignored->removeIf([&file, &key](const IgnoredSetting& kept) {
        const QByteArray* now = file.find(key, kept.name);
        if (!now) return true;
        if (*now == kept.stored) return false;
        if (*now != RegFile::encodeDword(quint32(findSetting(kept.name)->fallback))) return true;
        file.set(key, kept.name, kept.stored);
        return false;
    });
}

quint32 baudRateOf(int code) { return code >= 1 && code < int(std::size(BaudRates)) ? BaudRates[code] : 0; }

} // namespace ks
