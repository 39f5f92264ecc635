#include "app/Application.h"
#include "app/Server.h"
#include "app/TimeNow.h"
#include "platform/Autostart.h"
#include "platform/ClockRightGrant.h"
#include "platform/Error.h"
#include "platform/TerminationSignals.h"
#include "platform/Ui.h"
#include "protocol/RuntimePaths.h"

#include <QFile>

#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

namespace {
#ifdef Q_OS_WIN
const char SettingsWhere[] = "Settings: the registry key %s\n";
const char ClockRight[] = "Setting the clock needs the right to change the system time.\n"
                          "--install-autostart starts this program at the user's logon (the Run key).\n"
                          "--grant-clock-right, --revoke-clock-right (as an elevated administrator) give\n"
                          "          the group Users that right, or take it back; the installer does both.\n";
const char Usage[] = "Usage: korvat-server [--help | --version | --install-autostart | --autostart |\n"
                     "                      --grant-clock-right | --revoke-clock-right]\n";
const char Environment[] = "  QT_QPA_PLATFORM=offscreen  runs headless: boxes and the log go to stderr\n";
#else
const char SettingsWhere[] = "Settings: %s\n";
const char ClockRight[] = "Setting the clock needs: sudo setcap cap_sys_time+p <this program>\n";
const char Usage[] = "Usage: korvat-server [--help | --version | --autostart]\n";
const char Environment[] =
    "  KSERVER_COM1..KSERVER_COM5  the device of serial port n (else the Ports key, /dev/ttyS<n-1>)\n"
    "  XDG_CONFIG_HOME, XDG_STATE_HOME  where the settings file and the Logs/ folder are\n"
    "  XDG_RUNTIME_DIR (else TMPDIR/kserver-<uid>)  the lock and the status socket\n"
    "  TZ                  the local time zone\n"
    "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM  without a display it runs headless\n"
    "  JOURNAL_STREAM      set by systemd: log lines carry syslog priorities\n";
#endif

// Exit statuses: 0 a normal end (or another copy already runs), 1 start-up failed on
// something that may pass (a port taken), 64 a command line the program does not understand,
// 78 settings it cannot use (a service manager should not start it again for those two).
constexpr int ExitStartupFailed = 1;
constexpr int ExitUsage = 64;
constexpr int ExitConfig = 78;

// --version and --help answer and end; any other option is refused, so a mistyped one is
// noticed rather than ignored.
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
        if (arg == "--grant-clock-right" || arg == "--revoke-clock-right") {
            const bool grant = arg == "--grant-clock-right";
            QString error;
            if (ks::changeClockRightOfUsers(grant, &error)) return 0;
            std::fprintf(stderr, "korvat-server: cannot %s the right to change the system time: %s\n",
                         grant ? "grant" : "revoke", qPrintable(error));
            return 1;
        }
#endif
        if (arg == "--autostart") {
            // The login autostart entry stands down while the user service runs or waits to
            // restart; once the service has failed for good (or is stopped), this copy serves.
            if (const QByteArray state = ks::userServiceState();
                state == "active" || state == "activating" || state == "reloading") {
                std::fprintf(stderr,
                             "korvat-server: the user service korvat-server is %s; the login autostart "
                             "stands down for it\n",
                             state.constData());
                return 0;
            }
            continue;
        }
        if (arg == "--version") {
            std::printf("korvat-server " KS_VERSION "\n");
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf("%s"
                        "Korvat Server " KS_VERSION ": a LAN time server for Korvat and Quorix clients.\n"
                        "It takes the time from a GPS receiver, an NTP server or the PC clock, sets the\n"
                        "system clock, answers time requests on TCP port 6645 (replies to the client's\n"
                        "port 6646) and announces its state to 224.0.0.1:6649.\n\n",
                        Usage);
            std::printf(SettingsWhere, qPrintable(ks::SettingsStore::defaultPath()));
            std::printf("Logs:     %s/Logs/ or $XDG_STATE_HOME/korvat-server/Logs/ (CSV exports;\n"
                        "          create the folder to enable them)\n"
                        "Without a display it runs headless and writes its log to stderr.\n"
                        "--autostart (the login autostart entry) ends at once while the user service\n"
                        "korvat-server runs or waits to restart, so the two never collide.\n"
                        "'korvat-probe status' shows the state of the running server.\n"
                        "%s"
                        "Environment:\n"
                        "  KSERVER_CLOCK_LOG=<file>  records clock settings instead of making them\n"
                        "  KSERVER_SHOW_DEBUG  starts with the log option \"Show Debug\" ticked\n"
                        "%s"
                        "Exit status: 0 ended normally or already running, 1 start-up failed\n"
                        "(port 6645 taken), 64 unknown option, 78 settings it cannot use.\n",
                        qPrintable(ks::executableDir()), ClockRight, Environment);
            return 0;
        }
        std::fprintf(stderr, "korvat-server: unknown option '%s'\n%s", argv[i], Usage);
        return ExitUsage;
    }
    return std::nullopt;
}

// No display, or none wanted: the program runs on a core application, with no window and no
// display plugin. On Linux that is also the case with no display to open.
bool runsHeadless() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM").split(':').first();
    if (platform == "offscreen" || platform == "minimal") return true;
#ifdef Q_OS_WIN
    return false;
#else
    return platform.isEmpty() && qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#endif
}

} // namespace

int main(int argc, char* argv[]) {
    ks::attachParentConsole();
    if (argc > 1) {
        QCoreApplication probe(argc, argv); // for the executable's folder in --help
        if (const std::optional<int> rc = answerOption(argc, argv)) return *rc;
    }
    // Qt's own options (-platform, -style, ...) are not ours to offer: the program has none.
    int qtArgc = 1;
    const bool headless = runsHeadless();
#ifndef Q_OS_WIN
    // Qt looks for a run-time folder while it starts; without XDG_RUNTIME_DIR it warns and
    // makes one of its own in the temporary folder (in "/" when TMPDIR is missing). It gets
    // the program's private one. Headless, a start that cannot have one ends here, before Qt
    // makes anything; with a display the box below says why.
    QString runtimeError;
    const QString runtime = ks::runtimeFolder(true, &runtimeError);
    if (!runtime.isEmpty()) qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    else if (headless) {
        ks::writeStderrLine("Korvat Server: " + runtimeError.toLocal8Bit(), 3);
        ks::writeStderrLine("korvat-server " KS_VERSION " ended: start-up failed (exit status 1)", 3);
        return ExitStartupFailed;
    }
#endif

    std::unique_ptr<QCoreApplication> app;
    if (headless) app = std::make_unique<ks::KsCoreApplication>(qtArgc, argv);
    else app = std::make_unique<ks::KsApplication>(qtArgc, argv);
    // No display name: the window manager would add it to the caption.
    QCoreApplication::setApplicationName(QStringLiteral("Korvat Server"));
    if (!headless) QApplication::setQuitOnLastWindowClosed(false);

    ks::TerminationSignals termination;
    std::unique_ptr<ks::Server> server;
    std::unique_ptr<ks::TForm1> form;
    // Headless, stderr is all an operator (or the journal) sees: say why the program ended.
    const auto ended = [](const QByteArray& reason, int priority) {
        if (ks::isHeadless()) ks::writeStderrLine("korvat-server " KS_VERSION " ended: " + reason, priority);
    };
    const auto failed = [&](const QString& message, int status) {
        ks::reportFailure(message);
        if (server) server->Shutdown();
        ended("start-up failed (exit status " + QByteArray::number(status) + ')', 3);
        return status;
    };
    bool shutDown = false;
    const auto shutdown = [&] {
        if (std::exchange(shutDown, true)) return;
        server->Shutdown();
        ended(server->EndReason(), 6);
    };
    QString lateFailure; // of the start's steps after the start-up NTP attempt
    try {
        server = std::make_unique<ks::Server>();
        if (!headless) form = std::make_unique<ks::TForm1>(*server);
        QObject::connect(&termination, &ks::TerminationSignals::terminationRequested, server.get(),
                         [&server](const QByteArray& signal) { server->EndProgram(signal); });
        // The process is ended as soon as the handler returns: no time to go back to the loop.
        QObject::connect(&termination, &ks::TerminationSignals::sessionEnding, server.get(),
                         [&](const QByteArray& reason) {
                             server->EndProgram(reason);
                             shutdown();
                         });
        QObject::connect(server.get(), &ks::Server::startFailed, server.get(),
                         [&lateFailure](const QString& message) {
                             lateFailure = message;
                             QCoreApplication::exit(ExitStartupFailed);
                         });
        if (!(form ? form->StartUp() : server->StartUp())) return 0;
    } catch (const ks::ConfigError& e) {
        return failed(e.message(), ExitConfig);
    } catch (const ks::Error& e) {
        return failed(e.message(), ExitStartupFailed);
    } catch (const std::exception& e) {
        return failed(QString::fromLocal8Bit(e.what()), ExitStartupFailed);
    }
    QCoreApplication::exec();
    if (!lateFailure.isNull() && !std::exchange(shutDown, true))
        return failed(lateFailure, ExitStartupFailed);
    shutdown();
    return 0;
}
