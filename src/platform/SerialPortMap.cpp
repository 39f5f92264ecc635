#include "platform/SerialPortMap.h"

#include <QtGlobal>

namespace ks {

QString serialDevicePath(int portNumber,
                         const std::function<QString(const QString& comName)>& portsKeyLookup) {
    if (portNumber < 1) return QString();
    const QString number = QString::number(portNumber);
#ifdef Q_OS_WIN
    // The system's own name: no mapping to make.
    Q_UNUSED(portsKeyLookup);
    return QStringLiteral("\\\\.\\COM") + number;
#else

    const QString fromEnvironment =
        qEnvironmentVariable(QStringLiteral("KSERVER_COM%1").arg(number).toLatin1().constData());
    if (!fromEnvironment.isEmpty()) return fromEnvironment;

    if (portsKeyLookup) {
        const QString fromSettings = portsKeyLookup(QStringLiteral("COM") + number);
        if (!fromSettings.isEmpty()) return fromSettings;
    }
    return QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
#endif
}

int comPortNumber(const QString& portName) {
    static const QString prefix = QStringLiteral("\\\\.\\COM");
    if (!portName.startsWith(prefix)) return 0;
    const QStringView digits = QStringView(portName).mid(prefix.size());
    if (digits.isEmpty() || digits.size() > 5) return 0;
    for (const QChar c : digits)
        if (c < u'0' || c > u'9') return 0;
    return digits.toInt();
}

} // namespace ks
