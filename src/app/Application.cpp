#include "app/Application.h"

#include "platform/Error.h"
#include "platform/Ui.h"

namespace ks {

template <typename QtApplication>
bool GuardedApplication<QtApplication>::notify(QObject* receiver, QEvent* event) {
    try {
        return QtApplication::notify(receiver, event);
    } catch (const Error& e) {
        reportFailure(e.message());
    } catch (const std::exception& e) {
        reportFailure(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

template class GuardedApplication<QApplication>;
template class GuardedApplication<QCoreApplication>;

void reportFailure(const QString& text) {
    showMessage(QStringLiteral("Korvat Server"), text, MessageIcon::Critical);
}

} // namespace ks
