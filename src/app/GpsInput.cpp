// The serial connection buttons and the GPS receiver's sentences.
#include "app/TimeNow.h"
#include "components/CPDrv.h"
#include "log/LogModel.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"

namespace ks {

void TForm1::CreateComPort() {
    ComPort1 = new TCommPortDriver(this);
    ComPort1->OnReceiveData = [this](TCommPortDriver* sender, const char* bytes, quint32 size) {
        ComPort1ReceiveData(sender, bytes, size);
    };
    // The settings file's Ports key maps a port to a device, as Wine maps COM ports. It is
    // read when the port opens, so a mapping loaded at start-up is in force.
    ComPort1->setPortsLookup([this](const QString& comName) {
        const QByteArray* stored = settings_.file().find(SettingsStore::PortsKey, comName.toLatin1());
        if (!stored) return QString();
        const RegFile::Data d = RegFile::decode(*stored);
        if (d.type != RegFile::Type::String && d.type != RegFile::Type::ExpandString) return QString();
        return QString::fromLocal8Bit(d.text);
    });
}

bool TForm1::SerialConnected() const { return ComPort1->Connected(); }

void TForm1::btnConnectClick() {
    // The driver takes a new port number only while closed.
    if (ComPort1->Connected()) ComPort1->Disconnect();
    GpsSetupPending = true;
    RestartGpsFix();
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

void TForm1::btnDisconnectClick() { ComPort1->Disconnect(); }

void TForm1::SendGpsSetup() {
    for (const QByteArray& sentence : GpsSetupSentences()) {
        ComPort1->WriteText(sentence);
        if (ShowDebug()) AddLogEntry(LogSuccess, "GPS Setup", sentence, EntryKind::Diagnostic);
    }
}

void TForm1::ComPort1ReceiveData(TCommPortDriver*, const char* bytes, quint32 size) {
    GpsSilence.bytes(qsizetype(size));
    for (const QByteArray& line : SerialLine.feed(bytes, qsizetype(size))) ProcessGpsSentence(line);
}

void TForm1::ProcessGpsSentence(const QByteArray& line) {
    const qint64 arrival = systemClock().nowMs();
    GpsSentenceResult result = interpretGpsSentence(line);
    if (result.wellFormed) NoteGpsSentence(arrival);
    if (result.rmc) NoteGpsRollover(correctGpsRollover(*result.rmc, arrival, releaseDateMs()));
    if (!result.talker.isEmpty()) {
        GpsTalker = result.talker;
        GpsLastSentenceMs = arrival;
    }
    // The receiver's fix shows in the status whatever the source; choosing GPS starts afresh.
    const GpsFixTracker::Step step = GpsFix.take(result);
    // Measured whatever the source, so the receiver's delay can be read while another source
    // or another program keeps the clock right; a receiver without a fix may name any time.
    if (step.rmcTaken && result.rmc->utcMs) GpsLateness.add(double(arrival - *result.rmc->utcMs));
    if (Config.SyncSource != TimeSource::Gps) return;
    if (ShowDebug()) AddLogEntry(LogSuccess, "GPS Data", result.line, EntryKind::Diagnostic);
    if (result.gga || result.rmc)
        NoteGpsReason(GpsFix.fix() ? QString() : QStringLiteral("receiver has no fix"));
    if (step.syncState) Core.GpsFix(*step.syncState);
    if (!step.rmcTaken) return;
    GpsTimeText = result.rmc->timeText;
    GpsDateText = result.rmc->dateText;
    if (!step.setUtcMs) return;

    // Only a change that was made is logged as one; a missing right to set the clock is
    // reported by the platform, once.
    // The sentences' scatter bounds the sample; the median of five is steadier than one.
    const double uncertaintyMs = qMax(1.0, 2.5 * GpsLateness.spread());
    if (!Core.Take({TimeSource::Gps, *step.setUtcMs + Config.GpsDelayMs, arrival, uncertaintyMs})) return;
    if (ShowDebug())
        AddLogEntry(LogNotice, "Change Date/Time", GpsDateText + ' ' + GpsTimeText, EntryKind::Diagnostic);
}

void TForm1::RestartGpsFix() {
    GpsFix.restart();
    GpsReason.clear();
    GpsRolloverSeen.reset();
    GpsSilence.restart(systemClock().nowMs());
}

void TForm1::NoteGpsReason(const QString& reason) {
    if (reason == GpsReason) return;
    GpsReason = reason;
    // Once per change: every sentence of a receiver without a fix says the same.
    if (!isHeadless()) return;
    if (reason.isEmpty()) writeStderrLine("GPS input: the receiver has a fix", 6);
    else writeStderrLine("GPS input: " + reason.toLocal8Bit() + ": the clock is not set", 4);
}

} // namespace ks
