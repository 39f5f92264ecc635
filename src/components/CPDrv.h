#pragma once

#include "platform/SerialPort.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

namespace ks {

// The codes of the driver's settings, as they are stored in the settings file. The underlying
// type is fixed so that any stored number converts safely; a code outside its list makes
// Connect fail.
// clang-format off
enum TPortNumber : int {
    pnCustom, pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8,
    pnCOM9, pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};
enum TBaudRate : int {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
    br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum TDataBits : int { db5BITS, db6BITS, db7BITS, db8BITS }; // bits = code + 5
enum TStopBits : int { sb1BITS, sb1HALFBITS, sb2BITS };
enum TParity : int { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl : int { hfNONE, hfNONERTSON, hfRTSCTS };
enum TSwFlowControl : int { sfNONE, sfXONXOFF };
// clang-format on

// The serial port of the GPS receiver. Opens the device exclusively through the platform's
// SerialPort (so no second program shares it), reads it from the GUI thread's event loop as
// soon as bytes arrive and hands them to OnReceiveData, at most InBufSize bytes a call. A
// device that sends without pause gets one block per pass of the loop, so the loop's other
// events keep their pace.
//
// Port n is the Windows name "\\.\COMn" (PortName); the device opened for it is chosen by
// serialDevicePath (KSERVER_COM<n>, the settings file's Ports key, /dev/ttyS<n-1>; on
// Windows the name itself). A PortName of another form is opened as the device path it is.
//
// A device that goes away while open (a USB receiver unplugged, a hung-up line) closes the
// port, once, so Connected() turns false and the owner may reconnect.
class TCommPortDriver : public QObject {
    Q_OBJECT
public:
    // Called on the GUI thread with the driver, the received bytes and their count (>= 1). The
    // bytes are valid only during the call: the next block reuses the buffer.
    using TReceiveDataEvent = std::function<void(TCommPortDriver* sender, const char* data, quint32 size)>;
    // Returns the settings file's Ports value for a name like "COM1", or an empty text.
    using PortsLookup = std::function<QString(const QString& comName)>;

    explicit TCommPortDriver(QObject* parent = nullptr);
    ~TCommPortDriver() override;

    // Ignored while open. Otherwise stored; a number other than pnCustom sets PortName to
    // "\\.\COM<n>".
    TPortNumber Port() const { return port_; }
    void SetPort(TPortNumber port);
    // The device name opened by the next Connect.
    QString PortName() const { return portName_; }
    void SetPortName(const QString& name) { portName_ = name; }

    // Speed, character size, parity and stop bits are applied at once while open.
    void SetBaudRate(TBaudRate rate);
    quint32 BaudRateValue() const { return baudRateValue_; }
    void SetDataBits(TDataBits bits);
    // sb1HALFBITS makes Connect fail: terminal devices here have no 1.5 stop bits.
    void SetStopBits(TStopBits bits);
    void SetParity(TParity parity);

    // The rest take effect at the next Connect. With both hardware and software flow chosen,
    // hardware flow (RTS/CTS) is used: the device carries one kind only.
    void SetHwFlow(THwFlowControl flow) { hwFlow_ = flow; }
    void SetSwFlow(TSwFlowControl flow) { swFlow_ = flow; }
    // Receive buffer: the most bytes one OnReceiveData call carries. Clamped to 128-8192.
    quint32 InBufSize() const { return inBufSize_; }
    void SetInBufSize(quint32 size);
    // Milliseconds a write may go without progress before WriteText gives up.
    quint16 OutputTimeout() const { return outputTimeout_; }
    void SetOutputTimeout(quint16 ms) { outputTimeout_ = ms; }

    // Where the Ports key of the settings file is read; none by default.
    void setPortsLookup(PortsLookup lookup) { portsLookup_ = std::move(lookup); }

    // Opens the device and applies the line settings. True when the port is open afterwards
    // (at once when it already was); false when the device is missing, in use or refuses the
    // settings, and then the port stays closed.
    bool Connect();
    // Why the last Connect failed: the device and the system's message, with a hint when the
    // user lacks the right to open it. Empty after a Connect that succeeded.
    QString LastError() const { return lastError_; }
    // The device opened for port n (see serialDevicePath), whatever port is set now.
    QString DeviceOfPort(int number) const;
    // Closes the port if it is open; nothing otherwise.
    void Disconnect();
    bool Connected() const { return serial_.isOpen() && !lost_; }
    // Writes the bytes as they are (no terminator). True exactly when all of them were
    // queued to the device; false when the port is closed (unless the text is empty) or the
    // device took nothing for OutputTimeout ms. Blocks the caller for at most about that.
    bool WriteText(const QByteArray& text);

    TReceiveDataEvent OnReceiveData;

private:
    bool ApplySettings();
    void ReceiveBlock();
    void onDeviceLost();
    void closeLostDevice();

    TPortNumber port_ = pnCOM2;
    QString portName_ = QStringLiteral("\\\\.\\COM2");
    quint32 baudRateValue_ = 9600;
    TDataBits dataBits_ = db8BITS;
    TStopBits stopBits_ = sb1BITS;
    TParity parity_ = ptNONE;
    THwFlowControl hwFlow_ = hfNONERTSON;
    TSwFlowControl swFlow_ = sfNONE;
    quint32 inBufSize_ = 2048;
    static constexpr quint32 OutBufSize = 2048; // the most bytes WriteText keeps queued
    static constexpr bool EnableDTROnOpen = true;
    quint16 outputTimeout_ = 500;
    PortsLookup portsLookup_;
    QString lastError_;

    // The device went away; the handle is closed from the event loop, not from inside the
    // port's own notification, which the close would delete under it.
    bool lost_ = false;
    SerialPort serial_;
    QByteArray receiveBuffer_; // InBufSize bytes, reused by every block
};

} // namespace ks
