#include "platform/Autostart.h"

#include <QProcess>

namespace ks {

QByteArray userServiceState() {
    QProcess systemctl;
    systemctl.start(QStringLiteral("systemctl"), {QStringLiteral("--user"), QStringLiteral("is-active"),
                                                  QStringLiteral("korvat-server.service")});
    // It answers at once, or its manager is not there to answer at all.
    if (!systemctl.waitForFinished(5000)) {
        systemctl.kill();
        systemctl.waitForFinished();
        return {};
    }
    return systemctl.readAllStandardOutput().trimmed();
}

} // namespace ks
