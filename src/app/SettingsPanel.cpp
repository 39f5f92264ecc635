// The settings panel: code labels, their groups and the buttons acting on the time sources.
#include "app/CodeLabel.h"
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/Server.h"
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
    const StoredSettings& c = server_.Settings();
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
    const TimeSource source = server_.Settings().SyncSource;
    GPSPanel->setVisible(source == TimeSource::Gps);
    NTPPanel->setVisible(source == TimeSource::Ntp);
}

void TForm1::SaveSettings1Click() {
    const bool shown = Settings1->isChecked();
    SettingsPanel->setVisible(shown);
    DateLabel->setVisible(!shown);
    SettingsPanel->raise();
}

void TForm1::SelectCode(CodeLabel* clicked, qint16 StoredSettings::*setting) {
    StoredSettings next = server_.Settings();
    next.*setting = qint16(clicked->Tag);
    server_.ChangeSettings(next);
}

void TForm1::lblSync1Click(CodeLabel* label) {
    StoredSettings next = server_.Settings();
    next.SyncSource = TimeSource(label->Tag);
    server_.ChooseSource(next);
}

void TForm1::ToggleSetting(bool StoredSettings::*setting) {
    StoredSettings next = server_.Settings();
    next.*setting = !(next.*setting);
    server_.ChangeSettings(next);
}

void TForm1::lblPort1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::PortNumber); }
void TForm1::lblBaud1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::BaudCode); }
void TForm1::lblData1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::DataCode); }
void TForm1::lblStop1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::StopCode); }
void TForm1::lblParity1Click(CodeLabel* label) { SelectCode(label, &StoredSettings::ParityCode); }

void TForm1::lblAutoClick() { ToggleSetting(&StoredSettings::AutoConnect); }

void TForm1::lblSlewClick() { ToggleSetting(&StoredSettings::Slew); }

void TForm1::GpsDelayChange(int ms) {
    StoredSettings next = server_.Settings();
    next.GpsDelayMs = ms;
    server_.ChangeSettings(next);
}

void TForm1::lblGMTClick(CodeLabel* label) {
    StoredSettings next = server_.Settings();
    next.Loc = label != lblGMT;
    next.Gmt = !next.Loc;
    server_.ChangeSettings(next);
}

void TForm1::lblOnSecondClick() { ToggleSetting(&StoredSettings::OnSecond); }

void TForm1::lblNtpServeClick() { ToggleSetting(&StoredSettings::NtpServe); }

void TForm1::Edit1Change(const QString& text) {
    StoredSettings next = server_.Settings();
    next.NtpServer = text.toLocal8Bit();
    server_.ChangeSettings(next);
}

void TForm1::btnForceClick() { server_.Ntp().SyncToNtp(); }

void TForm1::btnConnectClick() { server_.Gps().Connect(); }

void TForm1::btnDisconnectClick() { server_.Gps().Disconnect(); }

bool TForm1::SerialConnected() const { return server_.Gps().Connected(); }

void TForm1::Chimes1Click() {
    // The action has already toggled its check mark.
    StoredSettings next = server_.Settings();
    next.Chimes = Chimes1->isChecked();
    server_.ChangeSettings(next);
}

} // namespace ks
