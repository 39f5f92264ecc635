#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace ks {

// Values as the Windows device control block numbers them.
enum class SerialParity { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class SerialStopBits { One = 0, Two = 2 };
enum class SerialFlow { None, RtsCts, XonXoff };

struct SerialLineSettings {
    quint32 baudRate = 9600;
    int dataBits = 8; // 5 to 8
    SerialParity parity = SerialParity::None;
    SerialStopBits stopBits = SerialStopBits::One;
    SerialFlow flow = SerialFlow::None;
    bool dtr = true;        // raised while open
    bool rts = true;        // raised while open; the handshake drives it under RtsCts
    quint32 inQueue = 2048; // unread bytes held before the device's own queue fills
};

// The device side of a serial port: open, line settings, bytes in and out. Received bytes
// wait here until read; readyRead tells that some arrived (delivered on the owner's thread).
// Pseudo-terminals and adapters without modem lines are accepted: DTR and RTS are set
// where the device has them.
class SerialPort : public QObject {
    Q_OBJECT
public:
    explicit SerialPort(QObject* parent = nullptr);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device for reading and writing, exclusively. False when it is missing,
    // taken by another program or no serial device, with the reason in *error (the system's
    // message and what may help).
    bool open(const QString& device, QString* error);
    void close();
    bool isOpen() const;
    // Applies the settings; false when the device refuses them.
    bool configure(const SerialLineSettings& settings);
    // Drops what waits in both directions.
    bool clear();

    qint64 bytesAvailable() const;
    qint64 read(char* data, qint64 maxSize);
    // Queues up to size bytes towards the device; the count taken, -1 when closed.
    qint64 write(const char* data, qint64 size);
    qint64 bytesToWrite() const;
    // Waits up to msecs for queued bytes to leave.
    void waitForBytesWritten(int msecs);

signals:
    void readyRead();
    // The device went away (unplugged, hung up); it stays open until close().
    void lost();

private:
    struct Device;
    std::unique_ptr<Device> d_;
};

} // namespace ks
