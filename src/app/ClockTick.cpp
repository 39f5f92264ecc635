// Timer1Timer (250 ms) and Timer2Timer (hourly).
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/RequestService.h"
#include "app/Server.h"
#include "chime/SoundThread.h"
#include "platform/SystemClock.h"
#include "protocol/Replies.h"

#include <QRandomGenerator>

namespace ks {

void Server::Timer1Timer() {
    // Three ticks in four fall in the second already read; the program idles for months, so
    // they read the clock and nothing more.
    const qint64 ms = systemClock().nowMs();
    const qint64 second = floorSeconds(ms);
    if (second != ClockSecond) {
        if (second / 60 != ClockSecond / 60) refreshTimeZone(); // once a minute is soon enough
        ClockSecond = second;
        ClockTime_ = toLocal(ms);
        ClockTime_.msec = 0;
    }

    // Hour chime, latched for the rest of minute 00 (set on chiming, cleared after it, both
    // only while chimes are on).
    const bool minuteZero = ClockTime_.minute == 0;
    if (ChimeLatch != minuteZero && Config.Chimes) {
        ChimeLatch = minuteZero;
        if (minuteZero) StartChime();
    }

    // Serial port.
    Gps_->Tick();

    // Change detection. The last values are taken whatever becomes of the announcement.
    if (CurrentStatus() != LastStatus) {
        LastStatus = CurrentStatus();
        NoteStateChange(LastStatus);
        AnnounceState(statusMessage(LastStatus));
    }

    if (Config.SyncSource == TimeSource::PcClock) Core.PcClockSource();
    CheckPcClockState();
    emit ticked();
}

void Server::Timer2Timer() {
    Ntp_->SyncToNtp();
    Requests_->ClearClientList();
    ReplySerial = int(QRandomGenerator::global()->bounded(9999));
}

void Server::StartChime() { MySoundThread::start(); }

} // namespace ks
