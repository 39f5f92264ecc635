// Timer1Timer (250 ms) and Timer2Timer (hourly).
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "chime/SoundThread.h"
#include "platform/SystemClock.h"
#include "protocol/DateFormat.h"
#include "protocol/Replies.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>

namespace ks {

namespace {
// Compared without a copy: most ticks change nothing.
void setTextIfChanged(QLabel* label, QByteArrayView text) {
    if (label->text() != QLatin1StringView(text)) label->setText(QString::fromLatin1(text));
}

} // namespace

void TForm1::Timer1Timer() {
    // 1. The colon: two ticks on, three off.
    ++DotLabelTag;
    const bool colon = DotLabelTag <= 2;
    if (DotLabel->isHidden() == colon) DotLabel->setVisible(colon);
    if (DotLabelTag >= 5) DotLabelTag = 0;

    // 2-3. One reading of the clock for the whole display. Three ticks in four fall in the
    // second already shown; the program idles for months, so they cost nothing.
    CivilTime now = localNow();
    now.msec = 0;
    if (now != DisplayedTime) {
        DisplayedTime = now;
        setTextIfChanged(lblH, formatDateTime("hh", now));
        setTextIfChanged(lblM, formatDateTime("nn", now));
        setTextIfChanged(lblS, formatDateTime("ss", now));
        setTextIfChanged(DateLabel, formatDateTime("ddd dd mmm yyyy", now));
    }

    // 4. Hour chime, latched for the rest of minute 00.
    if (Chimes1->isChecked()) {
        if (lblM->text() == QLatin1String("00")) {
            if (!ChimeLatch) {
                ChimeLatch = true;
                StartChime();
            }
        } else {
            ChimeLatch = false;
        }
    }

    // 5-6. Serial port.
    const bool open = SerialConnected();
    btnConnect->setEnabled(!open);
    btnDisconnect->setEnabled(open);
    if (open) {
        if (SyncState == 3) SyncState = 0;
        setTextIfChanged(SerialPanel, "Serial Input Connected");
        if (SyncSource == 1 && GpsSetupPending) {
            GpsSetupPending = false;
            SendGpsSetup();
        }
    } else {
        setTextIfChanged(SerialPanel, "");
        if (SyncSource == 1 || SyncSource == 2) {
            SyncState = 3;
            if (lblAuto->Tag != 0) btnConnectClick();
        }
    }

    // 7. Change detection. The last values are taken whatever becomes of the announcement.
    if (SyncSource != LastSyncSource || StatusReserved != LastStatusReserved ||
        SyncState != LastSyncState) {
        LastSyncSource = SyncSource;
        LastStatusReserved = StatusReserved;
        LastSyncState = SyncState;
        AnnounceState(statusMessage({SyncSource, StatusReserved, SyncState}));
    }

    // 8. Status text.
    switch (SyncSource) {
    case 0:
        SyncState = 2;
        setTextIfChanged(tsStatus, "PC Clock");
        break;
    case 1: setTextIfChanged(tsStatus, "GPS"); break;
    case 3: setTextIfChanged(tsStatus, "NTP"); break;
    default: break;
    }

    // 9. Status colours.
    ShowStatusColours();
}

void TForm1::ShowStatusColours() {
    QColor background;
    QColor text;
    switch (SyncState) {
    case 0: background = QColor(255, 0, 0), text = QColor(255, 255, 255); break;
    case 1: background = QColor(255, 255, 0), text = Qt::black; break;
    case 2: background = QColor(0, 255, 0), text = Qt::black; break;
    case 3: background = palette().color(QPalette::Button), text = QColor(128, 128, 128); break;
    default: return;
    }
    // Compared with what was applied last, not the label's palette: no copy on every tick.
    if (background == StatusBackground && text == StatusText) return;
    StatusBackground = background;
    StatusText = text;
    QPalette p = tsStatus->palette();
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, text);
    tsStatus->setPalette(p);
}

void TForm1::Timer2Timer() {
    if (SyncSource == 3) SyncToNtp();
    ClearClientList();
    ReplySerial = int(QRandomGenerator::global()->bounded(9999));
}

void TForm1::StartChime() { MySoundThread::start(); }

} // namespace ks
