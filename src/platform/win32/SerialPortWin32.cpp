#include "platform/SerialPort.h"

#include "platform/win32/SystemMessage.h"

#include <QByteArray>
#include <QMetaObject>

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace ks {

// A reader thread takes what the device receives and hands it over through a buffer, so
// bytes are taken as fast as they come. Port events are not waited for: WaitCommEvent is not
// dependable on every driver (under Wine on a pseudo-terminal it never returns); a read that
// returns at once when bytes are there, and after a short wait when none are, serves as well.
struct SerialPort::Device {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::thread reader;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::condition_variable roomFreed;
    QByteArray received; // guarded by mutex
    qint64 limit = 2048; // guarded by mutex

    void stop() {
        stopping = true;
        roomFreed.notify_all();
        if (reader.joinable()) reader.join();
        stopping = false;
    }
};

namespace {
// The longest one read waits for a first byte: the reader sees a close within it.
constexpr DWORD ReadWaitMs = 20;
} // namespace

SerialPort::SerialPort(QObject* parent) : QObject(parent), d_(std::make_unique<Device>()) {}

SerialPort::~SerialPort() { close(); }

bool SerialPort::open(const QString& device, QString* error) {
    if (isOpen()) {
        *error = QStringLiteral("already open");
        return false;
    }
    // Exclusive (no sharing), an existing device, no overlapped I/O.
    d_->handle = CreateFileW(reinterpret_cast<const wchar_t*>(device.utf16()), GENERIC_READ | GENERIC_WRITE,
                             0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (d_->handle == INVALID_HANDLE_VALUE) {
        *error = systemMessage(GetLastError());
        return false;
    }
    DCB probe{};
    probe.DCBlength = sizeof probe;
    COMMTIMEOUTS timeouts{};
    // A read returns as soon as a byte is there, or after ReadWaitMs with none; a write
    // gives up after 10 ms without room.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = ReadWaitMs;
    timeouts.WriteTotalTimeoutConstant = 10;
    if (!GetCommState(d_->handle, &probe) || !SetCommTimeouts(d_->handle, &timeouts)) {
        *error = systemMessage(GetLastError());
        CloseHandle(d_->handle);
        d_->handle = INVALID_HANDLE_VALUE;
        return false;
    }
    d_->received.clear();
    Device* d = d_.get();
    d->reader = std::thread([this, d] {
        char chunk[4096];
        while (!d->stopping) {
            {
                // Beyond the limit, bytes wait in the device's own queue until read.
                std::unique_lock lock(d->mutex);
                d->roomFreed.wait(lock, [d] { return d->stopping || d->received.size() < d->limit; });
            }
            if (d->stopping) break;
            DWORD got = 0;
            if (!ReadFile(d->handle, chunk, sizeof chunk, &got, nullptr)) {
                if (d->stopping) break;
                if (GetLastError() == ERROR_OPERATION_ABORTED) continue; // a purge
                QMetaObject::invokeMethod(
                    this, [this] { emit lost(); }, Qt::QueuedConnection);
                break;
            }
            if (got == 0) {
                Sleep(1); // a driver that returns at once with nothing must not make this spin
                continue;
            }
            bool wasEmpty;
            {
                std::lock_guard lock(d->mutex);
                wasEmpty = d->received.isEmpty();
                d->received.append(chunk, got);
            }
            if (wasEmpty)
                QMetaObject::invokeMethod(
                    this, [this] { emit readyRead(); }, Qt::QueuedConnection);
        }
    });
    return true;
}

void SerialPort::close() {
    if (!isOpen()) return;
    d_->stop();
    CloseHandle(d_->handle);
    d_->handle = INVALID_HANDLE_VALUE;
    std::lock_guard lock(d_->mutex);
    d_->received.clear();
}

bool SerialPort::isOpen() const { return d_->handle != INVALID_HANDLE_VALUE; }

bool SerialPort::configure(const SerialLineSettings& s) {
    if (!isOpen()) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = s.baudRate;
    dcb.fBinary = 1;
    dcb.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (s.flow == SerialFlow::RtsCts) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fRtsControl = s.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    if (s.flow == SerialFlow::XonXoff) dcb.fOutX = dcb.fInX = 1;
    dcb.XonLim = WORD(s.inQueue / 4);
    dcb.XoffLim = WORD(s.inQueue / 4);
    dcb.ByteSize = BYTE(s.dataBits);
    dcb.Parity = BYTE(s.parity);
    dcb.StopBits = s.stopBits == SerialStopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!SetCommState(d_->handle, &dcb)) return false;
    SetupComm(d_->handle, s.inQueue, s.inQueue); // a size the driver cannot take is no reason to refuse
    std::lock_guard lock(d_->mutex);
    d_->limit = s.inQueue;
    d_->roomFreed.notify_all();
    return true;
}

bool SerialPort::clear() {
    if (!isOpen()) return false;
    if (!PurgeComm(d_->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return false;
    std::lock_guard lock(d_->mutex);
    d_->received.clear();
    d_->roomFreed.notify_all();
    return true;
}

qint64 SerialPort::bytesAvailable() const {
    std::lock_guard lock(d_->mutex);
    return d_->received.size();
}

qint64 SerialPort::read(char* data, qint64 maxSize) {
    bool more;
    qint64 n;
    {
        std::lock_guard lock(d_->mutex);
        n = qMin(maxSize, qint64(d_->received.size()));
        memcpy(data, d_->received.constData(), size_t(n));
        d_->received.remove(0, n);
        more = !d_->received.isEmpty();
        d_->roomFreed.notify_all();
    }
    // The reader tells only of bytes arriving into an empty buffer: what a reader of blocks
    // left is told of again, on the next pass of the loop.
    if (more)
        QMetaObject::invokeMethod(
            this, [this] { emit readyRead(); }, Qt::QueuedConnection);
    return n;
}

qint64 SerialPort::write(const char* data, qint64 size) {
    if (!isOpen()) return -1;
    DWORD written = 0;
    if (!WriteFile(d_->handle, data, DWORD(qMin<qint64>(size, MAXDWORD)), &written, nullptr) && written == 0)
        return GetLastError() == ERROR_TIMEOUT ? 0 : -1;
    return qint64(written);
}

// Writes are made synchronously: nothing stays queued here.
qint64 SerialPort::bytesToWrite() const { return 0; }

void SerialPort::waitForBytesWritten(int msecs) { Sleep(DWORD(qBound(0, msecs, 10))); }

} // namespace ks
