#include "components/CPDrv.h"

#include "platform/SerialPortMap.h"
#include "protocol/SettingsTable.h"

#include <QElapsedTimer>

#include <optional>

namespace ks {

namespace {

constexpr quint32 MinBufSize = 128;
constexpr quint32 MaxBufSize = 8192;

std::optional<int> dataBitsOf(TDataBits code) {
    if (code < db5BITS || code > db8BITS) return std::nullopt;
    return code + 5;
}

std::optional<SerialParity> parityOf(TParity code) {
    if (code < ptNONE || code > ptSPACE) return std::nullopt;
    return SerialParity(code);
}

// A terminal device here has no one-and-a-half stop bits; refusing the port is better than
// quietly running the line with one.
std::optional<SerialStopBits> stopBitsOf(TStopBits code) {
    if (code == sb1BITS) return SerialStopBits::One;
    if (code == sb2BITS) return SerialStopBits::Two;
    return std::nullopt;
}

std::optional<SerialFlow> flowOf(THwFlowControl hw, TSwFlowControl sw) {
    if (hw < hfNONE || hw > hfRTSCTS || sw < sfNONE || sw > sfXONXOFF) return std::nullopt;
    if (hw == hfRTSCTS) return SerialFlow::RtsCts;
    return sw == sfXONXOFF ? SerialFlow::XonXoff : SerialFlow::None;
}

} // namespace

TCommPortDriver::TCommPortDriver(QObject* parent)
    : QObject(parent), receiveBuffer_(MaxBufSize, Qt::Uninitialized) {
    // The one buffer for the driver's lifetime: large enough for any InBufSize, so a change
    // of size never moves the bytes a receive handler is looking at.
    connect(&serial_, &SerialPort::readyRead, this, &TCommPortDriver::ReceiveBlock);
    connect(&serial_, &SerialPort::lost, this, &TCommPortDriver::onDeviceLost);
}

TCommPortDriver::~TCommPortDriver() { Disconnect(); }

void TCommPortDriver::SetPort(TPortNumber port) {
    if (Connected()) return;
    port_ = port;
    if (port != pnCustom) portName_ = QStringLiteral("\\\\.\\COM%1").arg(int(port));
}

void TCommPortDriver::SetBaudRate(TBaudRate rate) {
    if (rate != brCustom) baudRateValue_ = baudRateOf(int(rate));
    if (Connected()) ApplySettings();
}

void TCommPortDriver::SetDataBits(TDataBits bits) {
    dataBits_ = bits;
    if (Connected()) ApplySettings();
}

void TCommPortDriver::SetStopBits(TStopBits bits) {
    stopBits_ = bits;
    if (Connected()) ApplySettings();
}

void TCommPortDriver::SetParity(TParity parity) {
    parity_ = parity;
    if (Connected()) ApplySettings();
}

void TCommPortDriver::SetInBufSize(quint32 size) {
    inBufSize_ = qBound(MinBufSize, size, MaxBufSize);
    if (Connected()) ApplySettings();
}

QString TCommPortDriver::DeviceOfPort(int number) const { return serialDevicePath(number, portsLookup_); }

bool TCommPortDriver::Connect() {
    if (Connected()) return true;
    Disconnect(); // a lost device's handle that is still waiting to be closed
    const int number = comPortNumber(portName_);
    const QString device = number > 0 ? DeviceOfPort(number) : portName_;
    if (device.isEmpty()) {
        lastError_ = portName_ + QStringLiteral(": no device for this port");
        return false;
    }
    QString why;
    if (!serial_.open(device, &why)) {
        lastError_ = device + QStringLiteral(": ") + why;
        return false;
    }
    // A device that vanishes while being set up is closed by the error handler on the way.
    if (!ApplySettings() || !Connected()) {
        lastError_ = device + QStringLiteral(": the device refused the line settings");
        Disconnect();
        return false;
    }
    lastError_.clear();
    return true;
}

void TCommPortDriver::Disconnect() {
    if (!serial_.isOpen()) return;
    lost_ = false;
    serial_.close();
}

bool TCommPortDriver::ApplySettings() {
    const auto dataBits = dataBitsOf(dataBits_);
    const auto parity = parityOf(parity_);
    const auto stopBits = stopBitsOf(stopBits_);
    const auto flow = flowOf(hwFlow_, swFlow_);
    if (baudRateValue_ == 0 || !dataBits || !parity || !stopBits || !flow) return false;
    // Received bytes are never tested for parity, whatever parity the line uses: the
    // receiver's own checksums guard the sentences. Beyond InBufSize unread bytes wait in
    // the device's own queue, and each notification reads at most that much: a receiver that
    // sends without pause gets one block per pass of the loop, so the loop's other events
    // keep their pace.
    const SerialLineSettings line{
        baudRateValue_,         *dataBits, *parity, *stopBits, *flow, EnableDTROnOpen,
        hwFlow_ == hfNONERTSON, inBufSize_};
    return serial_.configure(line) && serial_.clear();
}

void TCommPortDriver::ReceiveBlock() {
    if (!Connected()) return;
    const qint64 waiting = serial_.bytesAvailable();
    if (waiting <= 0) return;
    const qint64 count = serial_.read(receiveBuffer_.data(), qMin<qint64>(waiting, inBufSize_));
    if (count > 0 && OnReceiveData) OnReceiveData(this, receiveBuffer_.constData(), quint32(count));
}

bool TCommPortDriver::WriteText(const QByteArray& text) {
    if (!Connected()) return text.isEmpty();
    qint64 written = 0;
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    while (written < text.size()) {
        const qint64 free = qint64(OutBufSize) - serial_.bytesToWrite();
        if (free > 0) {
            const qint64 n =
                serial_.write(text.constData() + written, qMin(free, qint64(text.size()) - written));
            if (n < 0) break; // the port closed under us
            if (n > 0) {
                written += n;
                sinceProgress.restart();
                continue;
            }
        }
        const qint64 left = qint64(outputTimeout_) - sinceProgress.elapsed();
        if (left <= 0 || !Connected()) break;
        serial_.waitForBytesWritten(int(left));
    }
    return written == text.size();
}

void TCommPortDriver::onDeviceLost() {
    // Close a vanished device, once, so Connected() says so and the owner can reconnect.
    if (!serial_.isOpen() || lost_) return;
    lost_ = true;
    QMetaObject::invokeMethod(this, &TCommPortDriver::closeLostDevice, Qt::QueuedConnection);
}

void TCommPortDriver::closeLostDevice() {
    // A Disconnect (and maybe a new Connect) in the meantime has dealt with it already.
    if (lost_) Disconnect();
}

} // namespace ks
