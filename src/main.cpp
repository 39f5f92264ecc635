#include "app/Application.h"
#include "app/TimeNow.h"
#include "platform/Autostart.h"
#include "platform/Error.h"
#include "platform/TerminationSignals.h"
#include "platform/Ui.h"

#include <cstdio>
#include <memory>
#include <optional>

namespace {
#ifdef Q_OS_WIN
const char SettingsWhere[] = "Settings: the registry key %s\n";
const char ClockRight[] = "Setting the clock needs the right to change the system time.\n"
                          "--install-autostart starts this program at the user's logon (the Run key).\n";
#else
const char SettingsWhere[] = "Settings: %s\n";
const char ClockRight[] = "Setting the clock needs: sudo setcap cap_sys_time+p <this program>\n";
#endif

// --version and --help answer and end; no option changes how the program runs.
std::optional<int> answerOption(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
#ifdef Q_OS_WIN
        if (arg == "--install-autostart") {
            QString error;
            if (ks::installAutostart(&error)) return 0;
            std::fprintf(stderr, "korvat-server: cannot add the autostart entry: %s\n", qPrintable(error));
            return 1;
        }
#endif
        if (arg == "--version") {
            std::printf("korvat-server " KS_VERSION "\n");
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf(
#ifdef Q_OS_WIN
                "Usage: korvat-server [--help | --version | --install-autostart]\n"
#else
                "Usage: korvat-server [--help | --version]\n"
#endif
                "Korvat Server " KS_VERSION ": a LAN time server for Korvat and Quorix clients.\n"
                "It takes the time from a GPS receiver, an NTP server or the PC clock, sets the\n"
                "system clock, answers time requests on TCP port 6645 (replies to the client's\n"
                "port 6646) and announces its state to 224.0.0.1:6649.\n\n");
            std::printf(SettingsWhere, qPrintable(ks::SettingsStore::defaultPath()));
            std::printf("Logs:     %s/Logs/ (CSV exports; create the folder to enable them)\n"
                        "Without a display it runs headless and writes its log to stderr.\n"
                        "%s"
                        "KSERVER_CLOCK_LOG=<file> records clock settings instead of making them.\n",
                        qPrintable(ks::executableDir()), ClockRight);
            return 0;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc > 1) {
        QCoreApplication probe(argc, argv); // for the executable's folder in --help
        if (const std::optional<int> rc = answerOption(argc, argv)) return *rc;
    }
    // Qt's own options (-platform, -style, ...) are not ours to offer: the program has none.
    int qtArgc = 1;
#ifndef Q_OS_WIN
    // No display: run headless rather than fail; nobody could see a window anyway.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif

    ks::KsApplication app(qtArgc, argv);
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
        ks::KsApplication::report(e.message());
        if (form) form->Shutdown();
        return 0;
    } catch (const std::exception& e) {
        ks::KsApplication::report(QString::fromLocal8Bit(e.what()));
        if (form) form->Shutdown();
        return 0;
    }
    QApplication::exec();
    form->Shutdown();
    return 0;
}
