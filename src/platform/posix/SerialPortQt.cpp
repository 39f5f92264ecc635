#include "platform/SerialPort.h"

#include <QSerialPort>

namespace ks {

struct SerialPort::Device {
    QSerialPort port;
};

SerialPort::SerialPort(QObject* parent) : QObject(parent), d_(std::make_unique<Device>()) {
    connect(&d_->port, &QSerialPort::readyRead, this, &SerialPort::readyRead);
    // QSerialPort keeps a vanished device open: a hung-up line reports ReadError on every
    // event loop pass, an unplugged adapter ResourceError.
    connect(&d_->port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) emit lost();
    });
}

SerialPort::~SerialPort() = default;

bool SerialPort::open(const QString& device, QString* error) {
    d_->port.setPortName(device);
    if (d_->port.open(QIODevice::ReadWrite)) return true;
    *error = d_->port.errorString();
    if (d_->port.error() == QSerialPort::PermissionError)
        *error += QStringLiteral(" (may this user open it? on most systems members of the "
                                 "'dialout' group may)");
    return false;
}

void SerialPort::close() { d_->port.close(); }

bool SerialPort::isOpen() const { return d_->port.isOpen(); }

bool SerialPort::configure(const SerialLineSettings& s) {
    QSerialPort& port = d_->port;
    const QSerialPort::Parity parity = s.parity == SerialParity::Odd     ? QSerialPort::OddParity
                                       : s.parity == SerialParity::Even  ? QSerialPort::EvenParity
                                       : s.parity == SerialParity::Mark  ? QSerialPort::MarkParity
                                       : s.parity == SerialParity::Space ? QSerialPort::SpaceParity
                                                                         : QSerialPort::NoParity;
    const QSerialPort::FlowControl flow = s.flow == SerialFlow::RtsCts    ? QSerialPort::HardwareControl
                                          : s.flow == SerialFlow::XonXoff ? QSerialPort::SoftwareControl
                                                                          : QSerialPort::NoFlowControl;
    if (!port.setBaudRate(qint32(s.baudRate)) || !port.setDataBits(QSerialPort::DataBits(s.dataBits)) ||
        !port.setParity(parity) ||
        !port.setStopBits(s.stopBits == SerialStopBits::Two ? QSerialPort::TwoStop : QSerialPort::OneStop) ||
        !port.setFlowControl(flow))
        return false;
    port.setDataTerminalReady(s.dtr);
    if (s.flow != SerialFlow::RtsCts) port.setRequestToSend(s.rts);
    port.setReadBufferSize(s.inQueue);
    return true;
}

bool SerialPort::clear() { return d_->port.clear(QSerialPort::AllDirections); }

qint64 SerialPort::bytesAvailable() const { return d_->port.bytesAvailable(); }

qint64 SerialPort::read(char* data, qint64 maxSize) { return d_->port.read(data, maxSize); }

qint64 SerialPort::write(const char* data, qint64 size) { return d_->port.write(data, size); }

qint64 SerialPort::bytesToWrite() const { return d_->port.bytesToWrite(); }

void SerialPort::waitForBytesWritten(int msecs) { d_->port.waitForBytesWritten(msecs); }

} // namespace ks
