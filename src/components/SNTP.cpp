#include "components/SNTP.h"

#include "platform/SystemClock.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QUdpSocket>

namespace ks {

namespace {
// The longest the GUI loop goes unattended during a wait is one slice.
constexpr int MaxSliceMs = 250;
} // namespace

SntpError::SntpError(QString message)
    : message_(std::move(message)), what_(message_.toLocal8Bit()) {}

// Marks the client as running for one call, refusing a nested second call. Leaves the
// client alone when it was destroyed during the call.
class SntpClient::RunGuard {
public:
    explicit RunGuard(SntpClient& client) : client_(client), alive_(client.alive_) {
        if (client.running_) throw SntpError(QStringLiteral("An SNTP exchange is already running"));
        client.running_ = true;
    }
    ~RunGuard() {
        if (*alive_) client_.running_ = false;
    }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;

private:
    SntpClient& client_;
    std::shared_ptr<bool> alive_;
};

SntpClient::SntpClient(QObject* parent) : QObject(parent) {}

SntpClient::~SntpClient() {
    *alive_ = false;
    if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
    if (waitLoop_) {
        qWarning("SntpClient destroyed while an exchange waits; the exchange ends without result");
        waitLoop_->quit();
    }
}

qint64 SntpClient::GetServerTime() {
    RunGuard guard(*this);
    return exchange() ? times_.t3 : 0;
}

bool SntpClient::SyncClock() {
    RunGuard guard(*this);
    if (!exchange()) return false;
    // The platform reports why a setting failed, but a refused setting is simply false here.
    const qint64 newTime = times_.newTime();
    const qint64 before = systemClock().nowMs();
    if (!systemClock().setTime(newTime, ClockSetKind::Local)) return false;
    lastStepMs_ = newTime - before;
    return true;
}

void SntpClient::Cancel() {
    if (!running_) return;
    cancelled_ = true;
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    if (socket_) socket_->abort();
    wake();
}

bool SntpClient::exchange() {
    cancelled_ = false;
    socketError_.clear();

    QHostAddress server;
    if (!resolve(server)) return false;
    openSocket(server);

    const qint64 sentMs = systemClock().nowMs();
    const NtpTimestamp sent = ntpFromMs(sentMs);
    if (socket_->writeDatagram(sntpRequest(sent), server, Port) != SntpPacketSize)
        throw SntpError(socket_->errorString());

    QByteArray reply;
    qint64 arrivalMs = 0;
    const WaitEnd end = waitFor(
        [&] {
            while (socket_->hasPendingDatagrams()) {
                QByteArray data(SntpPacketSize, '\0');
                QHostAddress from;
                quint16 fromPort = 0;
                const qint64 size =
                    socket_->readDatagram(data.data(), data.size(), &from, &fromPort);
                if (size < 0) {
                    socketError_ = socket_->errorString();
                    return false;
                }
                data.truncate(int(size));
                // Stray or forged datagrams do not end the wait.
                if (fromPort == Port && from.isEqual(server, QHostAddress::TolerantConversion) &&
                    sntpAnswers(data, sent)) {
                    arrivalMs = systemClock().nowMs();
                    reply = data;
                    return true;
                }
            }
            return false;
        },
        ReceiveTimeout);
    switch (end) {
    case WaitEnd::Done:
        break;
    case WaitEnd::SocketFailed:
        throw SntpError(socketError_);
    case WaitEnd::Cancelled:
    case WaitEnd::Destroyed:
    case WaitEnd::TimedOut:
        return false;
    }

    const std::optional<SntpAnswer> answer = parseSntpAnswer(reply);
    if (!answer) return false;
    times_ = sntpTimes(*answer, sentMs, arrivalMs);
    stratum_ = answer->stratum;
    answeredBy_ = server;
    return sntpUsable(*answer, StratumCheck);
}

bool SntpClient::resolve(QHostAddress& address) {
    // QHostInfo would say the same; checked here so nothing is started for it.
    if (Host.isEmpty()) throw SntpError(QStringLiteral("No host name given"));
    if (address.setAddress(Host)) return true;

    // A lookup runs in Qt's resolver thread: a slow DNS keeps the loop and the caller's
    // watchdog running, and Cancel() ends the wait for it.
    lookupResult_.reset();
    lookupId_ = QHostInfo::lookupHost(Host, this, [this](const QHostInfo& info) {
        if (info.lookupId() != lookupId_) return; // an aborted earlier lookup
        lookupId_ = -1;
        lookupResult_ = info;
        wake();
    });
    const WaitEnd end = waitFor([this] { return lookupResult_.has_value(); }, -1);
    if (end == WaitEnd::Destroyed) return false;
    if (end != WaitEnd::Done) {
        if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
        if (end == WaitEnd::SocketFailed) throw SntpError(socketError_);
        return false;
    }

    const QHostInfo info = *lookupResult_;
    lookupResult_.reset();
    if (info.error() != QHostInfo::NoError) throw SntpError(info.errorString());
    const QList<QHostAddress> addresses = info.addresses();
    if (addresses.isEmpty()) throw SntpError(QStringLiteral("Host not found"));
    address = addresses.first();
    for (const QHostAddress& a : addresses) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            address = a;
            break;
        }
    }
    return true;
}

void SntpClient::openSocket(const QHostAddress& server) {
    const QHostAddress any(server.protocol() == QAbstractSocket::IPv6Protocol
                               ? QHostAddress::AnyIPv6
                               : QHostAddress::AnyIPv4);
    if (!socket_) {
        socket_ = new QUdpSocket(this);
        connect(socket_, &QUdpSocket::readyRead, this, &SntpClient::wake);
        connect(socket_, &QUdpSocket::errorOccurred, this, [this] {
            socketError_ = socket_->errorString();
            wake();
        });
    }
    if (socket_->state() == QAbstractSocket::BoundState && socket_->localAddress() == any) return;
    socket_->abort();
    if (!socket_->bind(any, 0)) throw SntpError(socket_->errorString());
}

template <typename Done> SntpClient::WaitEnd SntpClient::waitFor(Done done, qint64 limitMs) {
    const std::shared_ptr<bool> alive = alive_;
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        if (cancelled_) return WaitEnd::Cancelled;
        if (done()) return WaitEnd::Done;
        if (!socketError_.isEmpty()) return WaitEnd::SocketFailed;
        qint64 slice = MaxSliceMs;
        if (limitMs >= 0) {
            const qint64 left = limitMs - elapsed.elapsed();
            if (left <= 0) return WaitEnd::TimedOut;
            slice = qMin(slice, left);
        }
        QEventLoop loop;
        QTimer sliceTimer;
        sliceTimer.setSingleShot(true);
        sliceTimer.setTimerType(Qt::PreciseTimer);
        connect(&sliceTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
        sliceTimer.start(int(slice));
        waitLoop_ = &loop;
        loop.exec();
        if (!*alive) return WaitEnd::Destroyed;
        waitLoop_ = nullptr;
    }
}

void SntpClient::wake() {
    if (waitLoop_) waitLoop_->quit();
}

} // namespace ks
