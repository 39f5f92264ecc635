#include "app/Application.h"

#include "platform/Error.h"
#include "platform/Ui.h"

namespace ks {

bool KsApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const Error& e) {
        report(e.message());
    } catch (const std::exception& e) {
        report(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

void KsApplication::report(const QString& text) {
    showMessage(QStringLiteral("Korvat Server"), text, MessageIcon::Critical);
}

} // namespace ks
