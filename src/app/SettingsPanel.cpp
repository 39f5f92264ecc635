// The settings panel: code labels, their groups and the buttons acting on the time sources.
#include "app/CodeLabel.h"
#include "app/TimeNow.h"

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>

namespace ks {

namespace {
void highlightGroup(CodeLabel* const* group, int size, qint16 setting) {
    for (int i = 0; i < size; ++i) group[i]->setHighlighted(group[i]->Tag == setting);
}
} // namespace

void TForm1::ShowSettingsInPanel() {
    lblAuto->setHighlighted(lblAuto->Tag == 1);
    lblLOC->setHighlighted(lblLOC->Tag == 1);
    lblGMT->setHighlighted(lblGMT->Tag == 1);
    highlightGroup(lblSync, 3, SyncSource);
    ShowSourcePanels();
    Edit1->setText(QString::fromLocal8Bit(NtpServer));
    highlightGroup(lblBaud, 2, BaudCode);
    highlightGroup(lblData, 2, DataCode);
    highlightGroup(lblParity, 3, ParityCode);
    highlightGroup(lblPort, 5, PortNumber);
    highlightGroup(lblStop, 2, StopCode);
}

void TForm1::ShowSourcePanels() {
    GPSPanel->setVisible(SyncSource == 1);
    NTPPanel->setVisible(SyncSource == 3);
}

void TForm1::SaveSettings1Click() {
    const bool shown = Settings1->isChecked();
    SettingsPanel->setVisible(shown);
    DateLabel->setVisible(!shown);
    SettingsPanel->raise();
}

void TForm1::SelectInGroup(CodeLabel* const* group, int size, CodeLabel* clicked, qint16& setting) {
    for (int i = 0; i < size; ++i) {
        if (group[i] == clicked) {
            group[i]->setHighlighted(true);
            setting = qint16(group[i]->Tag);
        } else if (group[i]->isHighlighted()) {
            group[i]->setHighlighted(false);
        }
    }
    SaveSettings();
}

void TForm1::lblSync1Click(CodeLabel* label) {
    SelectInGroup(lblSync, 3, label, SyncSource);
    ShowSourcePanels();
    if (SyncSource == 3) {
        Edit1->setText(QString::fromLocal8Bit(NtpServer));
        SyncToNtp();
    } else if (SyncSource == 1) {
        GpsSetupPending = true;
    }
}

void TForm1::lblPort1Click(CodeLabel* label) { SelectInGroup(lblPort, 5, label, PortNumber); }
void TForm1::lblBaud1Click(CodeLabel* label) { SelectInGroup(lblBaud, 2, label, BaudCode); }
void TForm1::lblData1Click(CodeLabel* label) { SelectInGroup(lblData, 2, label, DataCode); }
void TForm1::lblStop1Click(CodeLabel* label) { SelectInGroup(lblStop, 2, label, StopCode); }
void TForm1::lblParity1Click(CodeLabel* label) { SelectInGroup(lblParity, 3, label, ParityCode); }

void TForm1::lblAutoClick() {
    lblAuto->Tag = lblAuto->Tag == 0 ? 1 : 0;
    lblAuto->setHighlighted(lblAuto->Tag == 1);
    SaveSettings();
}

void TForm1::lblGMTClick(CodeLabel* label) {
    const bool loc = label != lblGMT;
    lblLOC->Tag = loc ? 1 : 0;
    lblGMT->Tag = loc ? 0 : 1;
    lblLOC->setHighlighted(loc);
    lblGMT->setHighlighted(!loc);
    SaveSettings();
}

void TForm1::Edit1Change(const QString& text) {
    NtpServer = text.toLocal8Bit();
    SaveSettings();
}

void TForm1::btnForceClick() {
    if (SyncSource == 3) SyncToNtp();
}

void TForm1::Chimes1Click() {
    // The action has already toggled its check mark.
    SaveSettings();
}

} // namespace ks
