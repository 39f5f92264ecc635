#include "platform/Autostart.h"

#include <QDir>
#include <QFileInfo>

namespace ks {

bool userServiceEnabled() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
    for (const QString& units :
         {config + QStringLiteral("/systemd/user"), QStringLiteral("/etc/systemd/user")}) {
        const QStringList wants = QDir(units).entryList({QStringLiteral("*.wants")}, QDir::Dirs);
        for (const QString& w : wants) {
            const QFileInfo unit(units + u'/' + w + QStringLiteral("/korvat-server.service"));
            if (unit.exists() || unit.isSymLink()) return true;
        }
    }
    return false;
}

} // namespace ks
