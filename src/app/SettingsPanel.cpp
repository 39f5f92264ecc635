// The settings panel: code labels, their groups and the buttons acting on the time sources.
#include "app/CodeLabel.h"
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/TimeNow.h"

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>

namespace ks {

namespace {
void highlightGroup(CodeLabel* const* group, int size, qint16 setting) {
    for (int i = 0; i < size; ++i) group[i]->setHighlighted(group[i]->Tag == setting);
}
} // namespace

void TForm1::ShowSettingsInPanel() {
    const StoredSettings& c = Config;
    lblAuto->setHighlighted(c.AutoConnect);
    lblSlew->setHighlighted(c.Slew);
    if (GpsDelayEdit->value() != c.GpsDelayMs) {
        const QSignalBlocker quiet(GpsDelayEdit); // showing a value is no change
        GpsDelayEdit->setValue(c.GpsDelayMs);
    }
    lblLOC->setHighlighted(c.Loc);
    lblGMT->setHighlighted(c.Gmt);
    lblOnSecond->setHighlighted(c.OnSecond);
    if (Edit1->text() != QString::fromLocal8Bit(c.NtpServer)) {
        const QSignalBlocker quiet(Edit1);
        Edit1->setText(QString::fromLocal8Bit(c.NtpServer));
    }
    lblNtpServe->setHighlighted(c.NtpServe);
    highlightGroup(lblSync, 3, qint16(c.SyncSource));
    ShowSourcePanels();
    highlightGroup(lblBaud, 2, c.BaudCode);
    highlightGroup(lblData, 2, c.DataCode);
    highlightGroup(lblParity, 3, c.ParityCode);
    highlightGroup(lblPort, 5, c.PortNumber);
    highlightGroup(lblStop, 2, c.StopCode);
    Chimes1->setChecked(c.Chimes);
}

void TForm1::ShowSourcePanels() {
    GPSPanel->setVisible(Config.SyncSource == TimeSource::Gps);
    NTPPanel->setVisible(Config.SyncSource == TimeSource::Ntp);
}

void TForm1::SaveSettings1Click() {
    const bool shown = Settings1->isChecked();
    SettingsPanel->setVisible(shown);
    DateLabel->setVisible(!shown);
    SettingsPanel->raise();
}

bool TForm1::ChangeSettings(const StoredSettings& next) {
    // Another source gets a fresh start: its first sample sets the clock outright.
    if (next.SyncSource != Config.SyncSource) {
        Core.Restart();
        if (next.SyncSource == TimeSource::Gps) Gps->RestartGpsFix();
    }
    const QByteArray changed = changedSetting(Config, next);
    Config = next;
    Core.SetSlew(Config.Slew);
    ApplyNtpServeSetting();
    ShowSettingsInPanel();
    return SaveSettings(changed);
}

void TForm1::SelectCode(CodeLabel* clicked, qint16 StoredSettings::*setting) {
    StoredSettings next = Config;
    next.*setting = qint16(clicked->Tag);
    ChangeSettings(next);
}

void TForm1::lblSync1Click(CodeLabel* label) {
    StoredSettings next = Config;
    next.SyncSource = TimeSource(label->Tag);
    ChooseSource(next);
}

bool TForm1::ChooseSource(const StoredSettings& next) {
    const bool saved = ChangeSettings(next);
    Ntp->SyncToNtp();
    Gps->SourceChosen();
    return saved;
}

void TForm1::ToggleSetting(bool StoredSettings::*setting) {
    StoredSettings next = Config;
    next.*setting = !(next.*setting);
    ChangeSettings(next);
}

void TForm1::lblPort1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::PortNumber); }
void TForm1::lblBaud1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::BaudCode); }
void TForm1::lblData1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::DataCode); }
void TForm1::lblStop1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::StopCode); }
void TForm1::lblParity1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::ParityCode); }

void TForm1::lblAutoClick() { ToggleSetting(&StoredSettings::AutoConnect); }

void TForm1::lblSlewClick() { ToggleSetting(&StoredSettings::Slew); }

void TForm1::GpsDelayChange(int ms) {
    StoredSettings next = Config;
    next.GpsDelayMs = ms;
    ChangeSettings(next);
}

void TForm1::lblGMTClick(CodeLabel* label) {
    StoredSettings next = Config;
    next.Loc = label != lblGMT;
    next.Gmt = !next.Loc;
    ChangeSettings(next);
}

void TForm1::lblOnSecondClick() { ToggleSetting(&StoredSettings::OnSecond); }

void TForm1::lblNtpServeClick() { ToggleSetting(&StoredSettings::NtpServe); }

void TForm1::Edit1Change(const QString& text) {
    StoredSettings next = Config;
    next.NtpServer = text.toLocal8Bit();
    ChangeSettings(next);
}

void TForm1::btnForceClick() { Ntp->SyncToNtp(); }

void TForm1::btnConnectClick() { Gps->Connect(); }

void TForm1::btnDisconnectClick() { Gps->Disconnect(); }

void TForm1::Chimes1Click() {
    // The action has already toggled its check mark.
    StoredSettings next = Config;
    next.Chimes = Chimes1->isChecked();
    ChangeSettings(next);
}

} // namespace ks
