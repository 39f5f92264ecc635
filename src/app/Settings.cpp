// LoadSettings / SaveSettings: the values of the settings key, as the settings table lists them.
#include "app/TimeNow.h"
#include "platform/Error.h"
#include "platform/Ui.h"
#include "protocol/SourceTrust.h"

#include <QLineEdit>

namespace ks {

namespace {
const QByteArray Key = SettingsStore::MainKey;
} // namespace

void TForm1::LoadSettings() {
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
    ShowSettingsInPanel();
}

bool TForm1::SaveSettings(const QByteArray& changed) {
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

} // namespace ks
