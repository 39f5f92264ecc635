// LoadSettings / SaveSettings: the values of the settings key, as the settings table lists them;
// a change of them.
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/Server.h"
#include "platform/Error.h"
#include "platform/Ui.h"
#include "protocol/SourceTrust.h"

namespace ks {

namespace {
const QByteArray Key = SettingsStore::MainKey;
} // namespace

void Server::LoadSettings() {
    Config = StoredSettings{};
    IgnoredSettings.clear();

    if (settings_.open()) {
        const QByteArray path = settings_.path().toLocal8Bit();
        SettingTypeError wrong;
        const std::optional<StoredSettings> read =
            readSettings(settings_.file(), Key, path, &IgnoredSettings, &wrong);
        for (const IgnoredSetting& ignored : IgnoredSettings) writeStderrLine(ignored.notice, 4);
        if (!read) {
            const QByteArray where = wrong.line > 0 ? path + " line " + QByteArray::number(wrong.line) : path;
            throw ConfigError(QStringLiteral("Invalid data type for '%1' in %2: expected %3")
                                  .arg(QString::fromLatin1(wrong.name), QString::fromLocal8Bit(where),
                                       QLatin1String(typeWords(wrong.expected))));
        }
        Config = *read;
    }
    if (const QByteArray w = holdoverWarning(Config.HoldoverS, Config.SyncSource); !w.isEmpty())
        writeStderrLine("Settings: " + w, 4);
    Core.SetSlew(Config.Slew);
    emit settingsChanged();
}

bool Server::SaveSettings(const QByteArray& changed) {
    writeSettings(settings_.file(), Key, Config, &IgnoredSettings);
    // The new state stays in force in memory.
    QString error;
    if (settings_.save(&error)) return true;
    writeStderrLine("Settings: cannot save " + settings_.path().toLocal8Bit() + ": " + error.toLocal8Bit(),
                    3);
    showMessage(QStringLiteral("Korvat Server"),
                QStringLiteral("Failed to set data for '%1'").arg(QString::fromLatin1(changed)),
                MessageIcon::Critical);
    return false;
}

bool Server::ChangeSettings(const StoredSettings& next) {
    // Another source gets a fresh start: its first sample sets the clock outright.
    if (next.SyncSource != Config.SyncSource) {
        Core.Restart();
        if (next.SyncSource == TimeSource::Gps) Gps_->RestartGpsFix();
    }
    const QByteArray changed = changedSetting(Config, next);
    Config = next;
    Core.SetSlew(Config.Slew);
    ApplyNtpServeSetting();
    emit settingsChanged();
    return SaveSettings(changed);
}

bool Server::ChooseSource(const StoredSettings& next) {
    const bool saved = ChangeSettings(next);
    Ntp_->SyncToNtp();
    Gps_->SourceChosen();
    return saved;
}

} // namespace ks
