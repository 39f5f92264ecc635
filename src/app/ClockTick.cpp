// Timer1Timer (250 ms) and Timer2Timer (hourly).
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/RequestService.h"
#include "app/TimeNow.h"
#include "chime/SoundThread.h"
#include "platform/SystemClock.h"
#include "protocol/DateFormat.h"
#include "protocol/Replies.h"

#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>

namespace ks {

void TForm1::Timer1Timer() {
    // 1. The colon: two ticks on, three off.
    ++DotLabelTag;
    DotLabelOn = DotLabelTag <= 2;
    if (DotLabelTag >= 5) DotLabelTag = 0;

    // 2-3. Three ticks in four fall in the second already read; the program idles for
    // months, so they read the clock and nothing more.
    const qint64 ms = systemClock().nowMs();
    const qint64 second = floorSeconds(ms);
    if (second != ClockSecond) {
        if (second / 60 != ClockSecond / 60) refreshTimeZone(); // once a minute is soon enough
        ClockSecond = second;
        ClockTime = toLocal(ms);
        ClockTime.msec = 0;
    }
    // A window in the notification area draws nothing; showing it catches up.
    if (isVisible()) ShowClock();

    // 4. Hour chime, latched for the rest of minute 00 (set on chiming, cleared after it,
    // both only while chimes are on).
    const bool minuteZero = ClockTime.minute == 0;
    if (ChimeLatch != minuteZero && Config.Chimes) {
        ChimeLatch = minuteZero;
        if (minuteZero) StartChime();
    }

    // 5-6. Serial port.
    Gps->Tick();

    // 7. Change detection. The last values are taken whatever becomes of the announcement.
    if (CurrentStatus() != LastStatus) {
        LastStatus = CurrentStatus();
        NoteStateChange(LastStatus);
        AnnounceState(statusMessage(LastStatus));
    }

    // 8. Status text.
    const TimeSource source = Config.SyncSource;
    if (source == TimeSource::PcClock) Core.PcClockSource();
    CheckPcClockState();
    if (source != StatusShownSource) {
        switch (source) {
        case TimeSource::PcClock: tsStatus->setText(QStringLiteral("PC Clock")); break;
        case TimeSource::Gps: tsStatus->setText(QStringLiteral("GPS")); break;
        case TimeSource::Ntp: tsStatus->setText(QStringLiteral("NTP")); break;
        default: break; // the text stays
        }
        StatusShownSource = source;
    }

    // 9. Status colours, in the window and the notification area.
    ShowStatusColours();
    ShowTrayState();
}

void TForm1::ShowClock() {
    if (DotLabel->isHidden() == DotLabelOn) DotLabel->setVisible(DotLabelOn);
    const CivilTime& now = ClockTime;
    CivilTime& shown = DisplayedTime;
    if (now == shown) return;
    const bool all = shown.year == 0;
    const auto show = [](QLabel* label, const char* pattern, const CivilTime& t) {
        label->setText(QString::fromLatin1(formatDateTime(pattern, t)));
    };
    if (all || now.hour != shown.hour) show(lblH, "hh", now);
    if (all || now.minute != shown.minute) show(lblM, "nn", now);
    if (all || now.second != shown.second) show(lblS, "ss", now);
    if (all || now.day != shown.day || now.month != shown.month || now.year != shown.year)
        show(DateLabel, "ddd dd mmm yyyy", now);
    shown = now;
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    ShowClock();
}

QColor TForm1::StateColour(TimeState state) {
    switch (state) {
    case TimeState::NotSynchronised: return QColor(255, 0, 0);
    case TimeState::Synchronising: return QColor(255, 255, 0);
    case TimeState::Synchronised: return QColor(0, 255, 0);
    case TimeState::NoSerialInput: break;
    }
    return QColor(160, 160, 160);
}

void TForm1::ShowStatusColours() {
    const TimeState state = ShownState();
    if (state == StatusShownState) return;
    StatusShownState = state;
    QColor background = StateColour(state);
    QColor text = state == TimeState::NotSynchronised ? QColor(Qt::white) : QColor(Qt::black);
    if (state == TimeState::NoSerialInput) { // the theme's button colour, the indicator's grey
        background = palette().color(QPalette::Button);
        text = QColor(128, 128, 128);
    }
    QPalette p = tsStatus->palette();
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, text);
    tsStatus->setPalette(p);
}

void TForm1::Timer2Timer() {
    Ntp->SyncToNtp();
    Requests->ClearClientList();
    ReplySerial = int(QRandomGenerator::global()->bounded(9999));
}

void TForm1::StartChime() { MySoundThread::start(); }

} // namespace ks
