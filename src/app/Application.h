#pragma once

#include <QApplication>

namespace ks {

// The application object: a failure escaping an event handler is shown in the "Korvat Server"
// box (stderr when headless) and the event loop goes on.
class KsApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override;

    // The box for a failure: caption "Korvat Server", the failure's message.
    static void report(const QString& text);
};

} // namespace ks
