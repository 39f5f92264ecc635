// The server's part of the NTP server: when it listens, and what it serves.
#include "app/GpsInput.h"
#include "app/NtpServer.h"
#include "app/Server.h"
#include "log/LogModel.h"

namespace ks {

NtpServedTime Server::ServedTime() const {
    const TimeFacts facts = Core.Facts();
    NtpServedTime t;
    t.source = Config.SyncSource;
    t.synchronised =
        ShownState() == TimeState::Synchronised && (t.source != TimeSource::Gps || Gps_->HasFix());
    t.lastSampleMs = facts.lastSampleMs;
    t.errorEstimateS = facts.errorS.value_or(0);
    if (facts.ntp) {
        t.upstreamStratum = facts.ntp->stratum;
        t.upstreamIPv4 = QHostAddress(QString::fromLatin1(facts.ntp->address)).toIPv4Address();
        t.upstreamRootDelayS = facts.ntp->rootDelayMs / 1000.0;
        t.roundTripS = facts.ntp->roundTripMs / 1000.0;
    }
    return t;
}

void Server::ApplyNtpServeSetting() {
    if (!started_ || startPending_) return; // the end of the start applies it
    if (!Config.NtpServe) {
        delete NtpServe;
        NtpServe = nullptr;
        return;
    }
    if (NtpServe) return;
    NtpServer::Hooks hooks;
    hooks.servedTime = [this] { return ServedTime(); };
    hooks.showDebug = [this] { return ShowDebug(); };
    hooks.log = [this](const QByteArray& details, bool diagnostic) {
        AddLogEntry(diagnostic ? LogNotice : LogAlert, "NTP Server", details,
                    diagnostic ? EntryKind::Diagnostic : EntryKind::Normal);
    };
    NtpServe = new NtpServer(Config.NtpPort, Config.NtpRateLimit, hooks, this);
    NtpServe->start();
}

} // namespace ks
