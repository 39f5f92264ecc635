// The clock face: the digits, the colon's blink, the status badge and its colours, brought up
// to date after each of the server's ticks.
#include "app/Server.h"
#include "app/TimeNow.h"
#include "protocol/DateFormat.h"

#include <QLabel>

namespace ks {

void TForm1::ShowTick() {
    // The colon: two ticks on, three off.
    ++DotLabelTag;
    DotLabelOn = DotLabelTag <= 2;
    if (DotLabelTag >= 5) DotLabelTag = 0;
    // A window in the notification area draws nothing; showing it catches up.
    if (isVisible()) ShowClock();

    const TimeSource source = server_.Settings().SyncSource;
    if (source != StatusShownSource) {
        switch (source) {
        case TimeSource::PcClock: tsStatus->setText(QStringLiteral("PC Clock")); break;
        case TimeSource::Gps: tsStatus->setText(QStringLiteral("GPS")); break;
        case TimeSource::Ntp: tsStatus->setText(QStringLiteral("NTP")); break;
        default: break; // the text stays
        }
        StatusShownSource = source;
    }
    // In the window and the notification area.
    ShowStatusColours();
    ShowTrayState();
}

void TForm1::ShowClock() {
    if (DotLabel->isHidden() == DotLabelOn) DotLabel->setVisible(DotLabelOn);
    const CivilTime& now = server_.ClockTime();
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
    const TimeState state = server_.ShownState();
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

} // namespace ks
