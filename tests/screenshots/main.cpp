// Renders the windows off-screen into PNG files: the main window, the settings panel for
// each source, the status indicator in its four colours, and the log window.
#include "TestWindow.h"
#include "app/CodeLabel.h"
#include "log/Log.h"
#include "protocol/CivilTime.h"

#include <QApplication>
#include <QDir>
#include <QLabel>

#include <cstdio>

using namespace ks;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(out);
    test::TestWindow w({}, msFromCivil({2009, 3, 24, 10, 15, 7, 0}));
    TForm1& form = *w.form;
    Server::TestAccess a(*w.server);
    if (!w.started) return 1;
    bool ok = true;
    auto save = [&](QWidget* widget, const char* name) {
        const QString path = out + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
        ok &= widget->grab().save(path);
        std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    };
    form.show();
    w.tick(), w.tick();
    // The longest status bar texts, to see that nothing is clipped.
    test::control<QLabel>(form, "ClientCountPanel")->setText(QStringLiteral("256"));
    test::control<QLabel>(form, "SerialPanel")->setText(QStringLiteral("Serial Input Connected"));
    save(&form, "main-window");

    a.Config.SyncSource = TimeSource::Ntp;
    int state = 0;
    for (const char* name : {"indicator-red", "indicator-yellow", "indicator-green", "indicator-grey"})
        a.Core.GpsFix(TimeState(state++)), w.tick(), save(&form, name);

    test::control<QAction>(form, "Settings1")->trigger();
    a.Config.NtpServer = "pool.ntp.example"; // shown on the NTP panel only
    for (const auto& [code, name] :
         {std::pair{"lblSync2", "settings-pc"}, std::pair{"lblSync0", "settings-gps"},
          std::pair{"lblSync1", "settings-ntp"}})
        form.lblSync1Click(test::control<CodeLabel>(form, code)), save(&form, name);

    w.server->AddLogEntry(4, "NTP Sync", "Attempting Sync to pool.ntp.example");
    w.server->AddLogEntry(2, "NTP Sync", "Successful Sync to pool.ntp.example");
    w.server->AddLogEntry(4, "New Connection", "192.0.2.2");
    w.server->AddLogEntry(2, "Client Send", "KORVAT_3_0_2_04211237889707 to 192.0.2.2");
    w.server->AddLogEntry(0, "Socket Error", "192.0.2.7");
    w.server->AddLogEntry(0, "NTP Sync", "Connection Timeout");
    form.LogFrm()->show();
    save(form.LogFrm(), "log-window");
    return ok ? 0 : 1;
}
