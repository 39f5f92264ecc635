// The serial connection and the GPS receiver's sentences.
#include "app/GpsInput.h"
#include "app/TimeCore.h"
#include "components/CPDrv.h"
#include "log/LogModel.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/DateFormat.h"

#include <QJsonObject>

namespace ks {

GpsInput::GpsInput(Host host, TimeCore& core, QObject* parent)
    : QObject(parent), ComPort1(new TCommPortDriver(this)), host_(std::move(host)), Core(core) {
    ComPort1->OnReceiveData = [this](TCommPortDriver* sender, const char* bytes, quint32 size) {
        ComPort1ReceiveData(sender, bytes, size);
    };
    // The settings file's Ports key maps a port to a device, as Wine maps COM ports. It is
    // read when the port opens, so a mapping loaded at start-up is in force.
    ComPort1->setPortsLookup(host_.portsLookup);
}

bool GpsInput::Connected() const { return ComPort1->Connected(); }

QString GpsInput::DeviceOfPort(int number) const { return ComPort1->DeviceOfPort(number); }

bool GpsInput::HasFix() const { return GpsFix.fix(); }

bool GpsInput::GpsSource() const { return host_.config().SyncSource == TimeSource::Gps; }

void GpsInput::Connect() {
    const StoredSettings& config = host_.config();
    // The driver takes a new port number only while closed.
    if (ComPort1->Connected()) ComPort1->Disconnect();
    GpsSetupPending = true;
    RestartGpsFix();
    ComPort1->SetBaudRate(TBaudRate(config.BaudCode));
    ComPort1->SetDataBits(TDataBits(config.DataCode));
    ComPort1->SetParity(TParity(config.ParityCode));
    ComPort1->SetPort(TPortNumber(config.PortNumber));
    ComPort1->SetStopBits(TStopBits(config.StopCode));
    // A failure stays out of the event log (AUTO tries again every tick): its reason is the
    // serial panel's tooltip, the status, and a line on stderr when it changes.
    ComPort1->Connect();
    NoteSerialReason(ComPort1->LastError());
}

void GpsInput::Disconnect() { ComPort1->Disconnect(); }

void GpsInput::StartAfresh() {
    GpsSetupPending = true;
    GpsTimeText = "00:00:00";
    GpsDateText = "01/01/01";
}

void GpsInput::SourceChosen() {
    if (GpsSource()) GpsSetupPending = true;
}

void GpsInput::Tick() {
    // Most ticks change nothing, so the window hears only when the port's state moves.
    const bool open = Connected();
    if (open != shownConnected_) {
        shownConnected_ = open;
        emit serialChanged(open);
    }
    const StoredSettings& config = host_.config();
    const bool serialSource =
        config.SyncSource == TimeSource::Gps || config.SyncSource == TimeSource::OtherSerial;
    Core.SerialPort(open, serialSource);
    if (open) {
        CheckGpsSilence();
        if (GpsSource() && GpsSetupPending) {
            GpsSetupPending = false;
            SendGpsSetup();
        }
    } else if (serialSource && config.AutoConnect) {
        Connect();
    }
}

void GpsInput::SendGpsSetup() {
    for (const QByteArray& sentence : GpsSetupSentences()) {
        ComPort1->WriteText(sentence);
        if (host_.log.showDebug()) host_.log(LogSuccess, "GPS Setup", sentence, EntryKind::Diagnostic);
    }
}

void GpsInput::ComPort1ReceiveData(TCommPortDriver*, const char* bytes, quint32 size) {
    GpsSilence.bytes(qsizetype(size));
    for (const QByteArray& line : SerialLine.feed(bytes, qsizetype(size))) ProcessGpsSentence(line);
}

void GpsInput::ProcessGpsSentence(const QByteArray& line) {
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
    if (!GpsSource()) return;
    if (host_.log.showDebug()) host_.log(LogSuccess, "GPS Data", result.line, EntryKind::Diagnostic);
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
    if (!Core.Take({TimeSource::Gps, *step.setUtcMs + host_.config().GpsDelayMs, arrival, uncertaintyMs}))
        return;
    if (host_.log.showDebug())
        host_.log(LogNotice, "Change Date/Time", GpsDateText + ' ' + GpsTimeText, EntryKind::Diagnostic);
}

void GpsInput::RestartGpsFix() {
    GpsFix.restart();
    GpsReason.clear();
    GpsRolloverSeen.reset();
    GpsSilence.restart(systemClock().nowMs());
}

void GpsInput::NoteGpsReason(const QString& reason) {
    if (reason == GpsReason) return;
    GpsReason = reason;
    // Once per change: every sentence of a receiver without a fix says the same.
    if (!isHeadless()) return;
    if (reason.isEmpty()) writeStderrLine("GPS input: the receiver has a fix", 6);
    else writeStderrLine("GPS input: " + reason.toLocal8Bit() + ": the clock is not set", 4);
}

void GpsInput::NoteSerialReason(const QString& reason) {
    if (reason == SerialReason) return;
    const bool mended = !SerialReason.isEmpty() && reason.isEmpty() && Connected();
    SerialReason = reason;
    emit serialReasonChanged(reason);
    if (!isHeadless()) return;
    // Once per new reason: AUTO tries again every tick, the same failure each time. Once the
    // port opens again after trouble, the operator who read the reason learns that too.
    if (!reason.isEmpty()) writeStderrLine("Serial input: " + reason.toLocal8Bit(), 4);
    else if (mended)
        writeStderrLine("Serial input on " + DeviceOfPort(host_.config().PortNumber).toLocal8Bit() +
                            " connected again",
                        6);
}

void GpsInput::NoteGpsRollover(const std::optional<GpsRollover>& rollover) {
    if (!rollover) return;
    const bool first = !GpsRolloverSeen;
    GpsRolloverSeen = rollover;
    // Once per connection: every sentence of such a receiver needs it.
    if (first && isHeadless()) writeStderrLine(gpsRolloverLine(*rollover), 4);
}

void GpsInput::CheckGpsSilence() {
    if (!GpsSource()) return;
    if (const auto line = GpsSilence.check(systemClock().nowMs()); line && isHeadless())
        writeStderrLine(*line, 4);
}

void GpsInput::NoteGpsSentence(qint64 atMs) {
    if (const auto line = GpsSilence.sentence(atMs); line && isHeadless()) writeStderrLine(*line, 6);
}

void GpsInput::AddStatus(QJsonObject& status) const {
    const StoredSettings& config = host_.config();
    if (GpsSource()) {
        status[QLatin1String("port")] = QStringLiteral("COM%1").arg(config.PortNumber);
        status[QLatin1String("device")] = DeviceOfPort(config.PortNumber);
        status[QLatin1String("serial")] = Connected()              ? QStringLiteral("connected")
                                          : SerialReason.isEmpty() ? QStringLiteral("not connected")
                                                                   : SerialReason;
    }
    if (!Connected()) return;
    QJsonObject g;
    g[QLatin1String("talker")] = QString::fromLatin1(GpsTalker);
    g[QLatin1String("fix")] = GpsFix.fix();
    g[QLatin1String("satellites")] = GpsFix.satellites();
    if (GpsLastSentenceMs != 0)
        g[QLatin1String("last_sentence_age_ms")] = systemClock().nowMs() - GpsLastSentenceMs;
    QJsonObject late;
    const auto tenth = [](double ms) { return qRound64(ms * 10) / 10.0; };
    late[QLatin1String("median")] = tenth(GpsLateness.median());
    late[QLatin1String("spread")] = tenth(GpsLateness.spread());
    late[QLatin1String("count")] = GpsLateness.count();
    g[QLatin1String("lateness_ms")] = late;
    g[QLatin1String("delay_ms")] = config.GpsDelayMs;
    g[QLatin1String("discipline")] = config.Slew ? QStringLiteral("slew") : QStringLiteral("step");
    if (GpsSource() && !GpsReason.isEmpty()) g[QLatin1String("reason")] = GpsReason;
    AddGpsTrustStatus(g);
    status[QLatin1String("gps")] = g;
}

void GpsInput::AddGpsTrustStatus(QJsonObject& gps) const {
    if (GpsSource() && GpsSilence.silent()) {
        gps[QLatin1String("reason")] = GpsSilence.reason(systemClock().nowMs());
        gps[QLatin1String("bytes_received")] = GpsSilence.bytesReceived();
    }
    if (GpsRolloverSeen) {
        QJsonObject r;
        const auto day = [](qint64 ms) { return QString::fromLatin1(utcStatusText(ms)); };
        r[QLatin1String("received")] = day(GpsRolloverSeen->receivedMs);
        r[QLatin1String("corrected")] = day(GpsRolloverSeen->correctedMs);
        r[QLatin1String("weeks_added")] = GpsRolloverSeen->weeksAdded;
        gps[QLatin1String("week_rollover_corrected")] = r;
    }
}

} // namespace ks
