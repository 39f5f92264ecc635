#include "app/TimeNow.h"
#include "platform/Error.h"
#include "platform/TerminationSignals.h"
#include "platform/Ui.h"

#include <QApplication>

#include <memory>

namespace {

// A failure escaping an event handler is shown, and the loop goes on.
class KsApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const ks::Error& e) {
            report(e.message());
        } catch (const std::exception& e) {
            report(QString::fromLocal8Bit(e.what()));
        }
        return false;
    }
    static void report(const QString& text) {
        ks::showMessage(QStringLiteral("Korvat Server"), text, ks::MessageIcon::Critical);
    }
};

} // namespace

int main(int argc, char* argv[]) {
    // No display: run headless rather than fail; nobody could see a window anyway.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    KsApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvat Server"));
    QApplication::setApplicationDisplayName(QStringLiteral("Korvat Server"));
    QApplication::setQuitOnLastWindowClosed(false);

    ks::TerminationSignals termination;
    std::unique_ptr<ks::TForm1> form;
    try {
        form = std::make_unique<ks::TForm1>();
        QObject::connect(&termination, &ks::TerminationSignals::terminationRequested, form.get(),
                         &ks::TForm1::Exit1Click);
        if (!form->StartUp()) return 0;
    } catch (const ks::Error& e) {
        KsApplication::report(e.message());
        if (form) form->Shutdown();
        return 0;
    } catch (const std::exception& e) {
        KsApplication::report(QString::fromLocal8Bit(e.what()));
        if (form) form->Shutdown();
        return 0;
    }
    QApplication::exec();
    form->Shutdown();
    return 0;
}
