// The serial connection buttons and the GPS receiver's sentences.
#include "app/TimeNow.h"
#include "components/CPDrv.h"
#include "log/LogModel.h"
#include "platform/SystemClock.h"

namespace ks {

void TForm1::CreateComPort() {
    ComPort1 = new TCommPortDriver(this);
    ComPort1->OnReceiveData = [this](TCommPortDriver* sender, const char* data, quint32 size) {
        ComPort1ReceiveData(sender, data, size);
    };
    // The settings file's Ports key maps a port to a device, as Wine maps COM ports. It is
    // read when the port opens, so a mapping loaded at start-up is in force.
    ComPort1->setPortsLookup([this](const QString& comName) {
        const QByteArray* data = settings_.file().find(SettingsStore::PortsKey, comName.toLatin1());
        if (!data) return QString();
        const RegFile::Data d = RegFile::decode(*data);
        if (d.type != RegFile::Type::String && d.type != RegFile::Type::ExpandString)
            return QString();
        return QString::fromLocal8Bit(d.text);
    });
}

bool TForm1::SerialConnected() const {
    return ComPort1->Connected();
}

void TForm1::btnConnectClick() {
    // The driver takes a new port number only while closed.
    if (ComPort1->Connected()) ComPort1->Disconnect();
    GpsSetupPending = true;
    ComPort1->SetBaudRate(TBaudRate(Config.BaudCode));
    ComPort1->SetDataBits(TDataBits(Config.DataCode));
    ComPort1->SetParity(TParity(Config.ParityCode));
    ComPort1->SetPort(TPortNumber(Config.PortNumber));
    ComPort1->SetStopBits(TStopBits(Config.StopCode));
    // A failure stays out of the event log (AUTO tries again every tick): its reason is the
    // serial panel's tooltip, the status, and a line on stderr when it changes.
    ComPort1->Connect();
    NoteSerialReason(ComPort1->LastError());
}

void TForm1::btnDisconnectClick() {
    ComPort1->Disconnect();
}

void TForm1::SendGpsSetup() {
    for (const QByteArray& sentence : GpsSetupSentences()) {
        ComPort1->WriteText(sentence);
        if (ShowDebug()) AddLogEntry(LogSuccess, "GPS Setup", sentence, EntryKind::Diagnostic);
    }
}

void TForm1::ComPort1ReceiveData(TCommPortDriver*, const char* data, quint32 size) {
    for (const QByteArray& line : SerialLine.feed(data, qsizetype(size)))
        ProcessGpsSentence(line);
}

void TForm1::ProcessGpsSentence(const QByteArray& line) {
    if (Config.SyncSource != TimeSource::Gps) return;
    const GpsSentenceResult result = interpretGpsSentence(line, SyncState);
    if (ShowDebug()) AddLogEntry(LogSuccess, "GPS Data", result.line, EntryKind::Diagnostic);
    if (result.syncState) SyncState = *result.syncState;
    if (!result.rmc) return;
    GpsTimeText = result.rmc->timeText;
    GpsDateText = result.rmc->dateText;
    if (!result.rmc->utcMs) return;

    // Only a setting that was made is logged as one; a missing right to set the clock is
    // reported by the platform, once.
    const qint64 before = systemClock().nowMs();
    if (!systemClock().setTime(*result.rmc->utcMs, ClockSetKind::Utc)) return;
    NoteClockSetting(TimeSource::Gps, *result.rmc->utcMs - before);
    if (ShowDebug()) AddLogEntry(LogNotice, "Change Date/Time", GpsDateText + ' ' + GpsTimeText, EntryKind::Diagnostic);
}

} // namespace ks
