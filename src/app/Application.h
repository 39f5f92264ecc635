#pragma once

#include <QApplication>
#include <QCoreApplication>

namespace ks {

// The box for a failure: caption "Korvat Server", the failure's message (stderr when headless).
void reportFailure(const QString& text);

// The application object: a failure escaping an event handler is reported and the event loop
// goes on. Headless the program runs on a core application: no display plugin, no widgets.
template <typename QtApplication> class GuardedApplication : public QtApplication {
public:
    using QtApplication::QtApplication;
    bool notify(QObject* receiver, QEvent* event) override;
};

extern template class GuardedApplication<QApplication>;
extern template class GuardedApplication<QCoreApplication>;
using KsApplication = GuardedApplication<QApplication>;
using KsCoreApplication = GuardedApplication<QCoreApplication>;

} // namespace ks
