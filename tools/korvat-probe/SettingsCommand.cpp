#include "SettingsCommand.h"

#include "Probe.h"
#include "Status.h"
#include "platform/Error.h"
#include "platform/SettingsStore.h"
#include "protocol/RuntimePaths.h"
#include "protocol/SettingsTable.h"

namespace probe {

namespace {
constexpr int TimeoutMs = 3000;
// Choosing NTP starts an attempt before the answer; it does not wait for its end.
constexpr int SetTimeoutMs = 10000;

const QByteArray Key = ks::SettingsStore::MainKey;

// The settings file as the server would read it at its start; nothing, with the reason
// printed, when it cannot be used.
struct FileSettings {
    ks::SettingsStore store;
    ks::StoredSettings settings;
    QList<ks::IgnoredSetting> ignored;
};
bool readFile(FileSettings& f) {
    const QByteArray path = f.store.path().toLocal8Bit();
    try {
        f.store.open();
    } catch (const ks::Error& e) {
        printError(QStringLiteral("korvat-probe: ") + e.message());
        return false;
    }
    ks::SettingTypeError wrong;
    const std::optional<ks::StoredSettings> read =
        ks::readSettings(f.store.file(), Key, path, &f.ignored, &wrong);
    if (!read) {
        printError(QStringLiteral("korvat-probe: invalid data type for '%1' in %2 line %3: expected %4")
                       .arg(QString::fromLatin1(wrong.name), QString::fromLocal8Bit(path))
                       .arg(wrong.line)
                       .arg(QLatin1String(ks::typeWords(wrong.expected))));
        return false;
    }
    f.settings = *read;
    return true;
}

int refused(const QByteArray& why) {
    printError(QStringLiteral("korvat-probe: ") + QString::fromLocal8Bit(why));
    return ExitUsage;
}
} // namespace

int setCommand(const QByteArray& name, const QByteArray& value) {
    const QByteArray change = name + ' ' + value;
    QByteArray refusal;
    const std::optional<ks::SettingChange> asked = ks::parseSettingChange(change, &refusal);
    if (!asked) return refused(refusal);
    const QByteArray request = QByteArray(ks::SetRequest) + ' ' + change;
    if (request.size() > ks::MaxStatusRequestBytes || change.contains('\n') || change.contains('\r'))
        return refused(name + ": the value must be one line of at most " +
                       QByteArray::number(ks::MaxStatusRequestBytes - request.size() + value.size()) +
                       " bytes");
    bool noServer = false;
    const QByteArray answer = askServer(request, SetTimeoutMs, &noServer);
    if (!noServer) {
        if (answer.isEmpty()) return ExitNetwork;
        if (answer.startsWith("refused: ")) return refused(answer.mid(9));
        if (answer.startsWith("ok: ")) {
            printLine(QString::fromLocal8Bit(answer.mid(4)));
            return ExitOk;
        }
        printError(QStringLiteral("korvat-probe: ") + QString::fromLocal8Bit(answer));
        return ExitNoReply;
    }
    FileSettings f;
    if (!readFile(f)) return ExitNoReply;
    ks::applySettingValue(*asked->setting, asked->value, f.settings);
    ks::writeSettings(f.store.file(), Key, f.settings, &f.ignored);
    QString error;
    if (!f.store.save(&error)) {
        printError(QStringLiteral("korvat-probe: cannot save %1: %2").arg(f.store.path(), error));
        return ExitNoReply;
    }
    printLine(
        QString::fromLocal8Bit(*ks::settingsListing(f.settings, asked->setting->name, nullptr)).trimmed() +
        QStringLiteral(" (no server running: written to %1)").arg(f.store.path()));
    return ExitOk;
}

int getCommand(const QByteArray& name) {
    bool noServer = false;
    QByteArray request = ks::GetRequest;
    if (!name.isEmpty()) request += ' ' + name;
    QByteArray listing = askServer(request, TimeoutMs, &noServer);
    if (!noServer) {
        if (listing.isEmpty()) return ExitNetwork;
        if (listing.startsWith("refused: ")) return refused(listing.mid(9));
    } else {
        FileSettings f;
        QByteArray refusal;
        // An unknown name is refused before the file is read.
        if (!ks::settingsListing(ks::StoredSettings{}, name, &refusal)) return refused(refusal);
        if (!readFile(f)) return ExitNoReply;
        for (const ks::IgnoredSetting& i : f.ignored) printError(QString::fromLocal8Bit(i.notice));
        listing = ks::settingsListing(f.settings, name, nullptr)->trimmed();
    }
    printLine(QString::fromLocal8Bit(listing));
    return ExitOk;
}

} // namespace probe
