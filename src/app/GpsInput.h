#pragma once

#include "app/EventLog.h"
#include "protocol/ClockDiscipline.h"
#include "protocol/Nmea.h"
#include "protocol/SettingsTable.h"
#include "protocol/SourceTrust.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QJsonObject;

namespace ks {

class TCommPortDriver;
class TimeCore;

// The GPS receiver on its serial port: the connection, the sentences, the fix, the
// receiver's set-up and lateness. Its samples go to the time core.
class GpsInput : public QObject {
    Q_OBJECT
public:
    // What the input reads of the program's state when it needs it.
    struct Host {
        EventLog log;
        std::function<const StoredSettings&()> config;
        // The device a COM port is mapped to; empty for the platform's own.
        std::function<QString(const QString& comName)> portsLookup;
    };
    GpsInput(Host host, TimeCore& core, QObject* parent);

    // Opens the port with the settings in force, closing it first when open.
    void Connect();
    void Disconnect();
    bool Connected() const;
    QString DeviceOfPort(int number) const;
    bool HasFix() const;
    // The program starts: the receiver's set-up is due, nothing has been received.
    void StartAfresh();
    // A source chosen: GPS sends the receiver its set-up again.
    void SourceChosen();
    // A new connection, or GPS chosen: no time until a GGA of it gives a fix.
    void RestartGpsFix();
    // On the clock tick: the port's state, the set-up, a quiet receiver, AUTO.
    void Tick();
    // port, device, serial (with the GPS source) and, while connected, gps.
    void AddStatus(QJsonObject& status) const;

    TCommPortDriver* const ComPort1;

signals:
    // The port opened or closed, as the tick found it.
    void serialChanged(bool connected);
    // Why the port is not open; empty when it is or was never tried.
    void serialReasonChanged(const QString& reason);

private:
    bool GpsSource() const;
    void SendGpsSetup();
    void ComPort1ReceiveData(TCommPortDriver* sender, const char* bytes, quint32 size);
    void ProcessGpsSentence(const QByteArray& line);
    void NoteSerialReason(const QString& reason);
    void NoteGpsReason(const QString& reason);
    void NoteGpsRollover(const std::optional<GpsRollover>& rollover);
    void NoteGpsSentence(qint64 atMs);
    // On the tick while the port is open: tells a receiver that has gone quiet, once.
    void CheckGpsSilence();
    void AddGpsTrustStatus(QJsonObject& gps) const;

    Host host_;
    TimeCore& Core;
    NmeaLineAssembler SerialLine; // the bytes received since the last carriage return
    GpsFixTracker GpsFix;
    LatenessWindow GpsLateness; // whatever the source, while the port delivers RMCs
    QByteArray GpsTalker;       // of the last GGA or RMC
    qint64 GpsLastSentenceMs = 0;
    // Why the GPS source does not set the clock although the port is open; empty otherwise.
    QString GpsReason;
    ReceiverSilence GpsSilence;
    std::optional<GpsRollover> GpsRolloverSeen; // of this connection
    QByteArray GpsTimeText = "00:00:00";
    QByteArray GpsDateText = "01/01/01";
    // Why the serial port is not open: the device and the system's message; empty when open
    // or never tried.
    QString SerialReason;
    bool GpsSetupPending = true;
    std::optional<bool> shownConnected_; // as last told
};

} // namespace ks
