// Renders the windows off-screen into PNG files: the main window, the settings panel for
// each source, the status indicator in its four colours, and the log window.
#include "FakeClock.h"
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "log/Log.h"
#include "protocol/CivilTime.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace ks;

namespace {
bool save(QWidget* w, const QString& dir, const char* name) {
    const QString path = dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
    const bool ok = w->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}
} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(out);
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", scratch.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", scratch.path().toLocal8Bit());
    test::FakeClock clock(msFromCivil({2009, 3, 24, 10, 15, 7, 0}));

    TForm1 form;
    if (!form.StartUp()) return 1;
    form.Timer1->stop();
    form.Timer2->stop();
    form.IdIPWatch1->stop();
    form.NetworkPresent = false;
    form.show();
    form.Timer1Timer();
    form.Timer1Timer();
    // The longest status bar texts, to see that nothing is clipped.
    form.ClientCountPanel->setText(QStringLiteral("256"));
    form.SerialPanel->setText(QStringLiteral("Serial Input Connected"));
    bool ok = save(&form, out, "main-window");

    const struct {
        int state;
        const char* name;
    } states[] = {{0, "indicator-red"}, {1, "indicator-yellow"}, {2, "indicator-green"}, {3, "indicator-grey"}};
    form.Config.SyncSource = TimeSource::Ntp;
    for (const auto& s : states) {
        form.SyncState = TimeState(s.state);
        form.Timer1Timer();
        ok &= save(&form, out, s.name);
    }

    form.Settings1->trigger();
    form.lblSync1Click(form.lblSync[2]);
    ok &= save(&form, out, "settings-pc");
    form.lblSync1Click(form.lblSync[0]);
    ok &= save(&form, out, "settings-gps");
    form.Config.NtpServer = "pool.ntp.example";
    form.lblSync1Click(form.lblSync[1]);
    ok &= save(&form, out, "settings-ntp");

    TLogFrm* log = form.LogFrm();
    form.AddLogEntry(4, "NTP Sync", "Attempting Sync to pool.ntp.example");
    form.AddLogEntry(2, "NTP Sync", "Successful Sync to pool.ntp.example");
    form.AddLogEntry(4, "New Connection", "192.0.2.2");
    form.AddLogEntry(2, "Client Send", "KORVAT_3_0_2_04211237889707 to 192.0.2.2");
    form.AddLogEntry(0, "Socket Error", "192.0.2.7");
    form.AddLogEntry(0, "NTP Sync", "Connection Timeout");
    log->show();
    ok &= save(log, out, "log-window");
    return ok ? 0 : 1;
}
