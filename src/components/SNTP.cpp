#include "components/SNTP.h"

#include "platform/SystemClock.h"

#include <QHostInfo>
#include <QTimer>
#include <QUdpSocket>

namespace ks {

QString sntpFailureWords(QAbstractSocket::SocketError error, const QString& system, quint16 port) {
    switch (error) {
    case QAbstractSocket::NetworkError: return QStringLiteral("network unreachable");
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("connection refused (nothing listens on port %1)").arg(port);
    default: return system;
    }
}

SntpError::SntpError(QString message) : message_(std::move(message)), what_(message_.toLocal8Bit()) {}

SntpClient::SntpClient(QObject* parent) : QObject(parent), limit_(new QTimer(this)) {
    limit_->setSingleShot(true);
    limit_->setTimerType(Qt::PreciseTimer);
    connect(limit_, &QTimer::timeout, this, [this] { finish(SntpOutcome::NotSet); });
}

SntpClient::~SntpClient() {
    if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
}

void SntpClient::StartSync() {
    if (running_) throw SntpError(QStringLiteral("An SNTP exchange is already running"));
    // QHostInfo would say the same; checked here so nothing is started for it.
    if (Host.isEmpty()) throw SntpError(QStringLiteral("No host name given"));
    times_ = {};
    stratum_ = 0;
    refused_.clear();
    QHostAddress address;
    if (address.setAddress(Host)) {
        send(address);
        running_ = true;
        return;
    }
    running_ = true;
    lookupId_ = QHostInfo::lookupHost(Host, this, &SntpClient::resolved);
}

void SntpClient::Cancel() {
    if (!running_) return;
    if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
    if (socket_) socket_->abort();
    limit_->stop();
    running_ = waiting_ = false;
}

void SntpClient::resolved(const QHostInfo& info) {
    if (info.lookupId() != lookupId_) return; // an aborted earlier lookup
    lookupId_ = -1;
    if (info.error() != QHostInfo::NoError) return finish(SntpOutcome::Failed, info.errorString());
    const QList<QHostAddress> addresses = info.addresses();
    if (addresses.isEmpty()) return finish(SntpOutcome::Failed, QStringLiteral("Host not found"));
    QHostAddress address = addresses.first();
    for (const QHostAddress& a : addresses) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            address = a;
            break;
        }
    }
    try {
        send(address);
    } catch (const SntpError& e) {
        finish(SntpOutcome::Failed, e.message());
    }
}

void SntpClient::send(const QHostAddress& server) {
    const QHostAddress any(server.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::AnyIPv6
                                                                              : QHostAddress::AnyIPv4);
    if (!socket_) {
        socket_ = new QUdpSocket(this);
        connect(socket_, &QUdpSocket::readyRead, this, &SntpClient::readAnswers);
        connect(socket_, &QUdpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (waiting_ && error != QAbstractSocket::TemporaryError)
                finish(SntpOutcome::Failed, sntpFailureWords(error, socket_->errorString(), Port));
        });
    }
    // Connected to the server, so that a port nothing listens on comes back as a refusal
    // rather than as silence until the watchdog.
    if (socket_->state() != QAbstractSocket::ConnectedState || socket_->localAddress() != any ||
        socket_->peerAddress() != server || socket_->peerPort() != Port) {
        socket_->abort();
        if (!socket_->bind(any, 0)) throw SntpError(socket_->errorString());
        socket_->connectToHost(server, Port);
        if (socket_->state() != QAbstractSocket::ConnectedState)
            throw SntpError(sntpFailureWords(socket_->error(), socket_->errorString(), Port));
    }
    server_ = server;
    sentMs_ = systemClock().nowMs();
    sent_ = ntpFromMs(sentMs_);
    if (socket_->write(sntpRequest(sent_)) != SntpPacketSize)
        throw SntpError(sntpFailureWords(socket_->error(), socket_->errorString(), Port));
    waiting_ = true;
    if (ReceiveTimeout >= 0) limit_->start(ReceiveTimeout);
}

void SntpClient::readAnswers() {
    // Read before asking whether a datagram waits: the asking would take up a refusal unseen.
    do {
        QByteArray data(SntpPacketSize, '\0');
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 size = socket_->readDatagram(data.data(), data.size(), &from, &fromPort);
        if (!waiting_) continue; // left over from an exchange that has ended
        if (size < 0 && socket_->error() == QAbstractSocket::TemporaryError) return;
        if (size < 0)
            return finish(SntpOutcome::Failed,
                          sntpFailureWords(socket_->error(), socket_->errorString(), Port));
        data.truncate(int(size));
        // Stray or forged datagrams do not end the exchange; one from the server is remembered,
        // as it may be all that comes.
        if (fromPort != Port || !from.isEqual(server_, QHostAddress::TolerantConversion)) continue;
        if (sntpAnswers(data, sent_)) return answered(data, systemClock().nowMs());
        refused_ = SntpNotMatching;
    } while (socket_->hasPendingDatagrams());
}

void SntpClient::answered(const QByteArray& reply, qint64 arrivalMs) {
    const std::optional<SntpAnswer> answer = parseSntpAnswer(reply);
    if (!answer) {
        refused_ = SntpTooShort + (" (" + QByteArray::number(reply.size()) + " bytes)");
        return finish(SntpOutcome::NotSet);
    }
    times_ = sntpTimes(*answer, sentMs_, arrivalMs);
    stratum_ = answer->stratum;
    rootDelayMs_ = answer->rootDelayMs;
    rootDispersionMs_ = answer->rootDispersionMs;
    answeredBy_ = server_;
    refused_ = sntpRefusal(*answer, StratumCheck);
    finish(refused_.isEmpty() ? SntpOutcome::Answered : SntpOutcome::NotSet);
}

ClockSample SntpClient::Sample() const {
    // A millisecond for the readings' resolution.
    const double bound = double(times_.roundTrip()) / 2 + rootDelayMs_ / 2 + rootDispersionMs_ + 1;
    return {TimeSource::Ntp, times_.newTime(), times_.t4, bound};
}

NtpUpstream SntpClient::Upstream() const {
    return {answeredBy_.toString().toLatin1(), stratum_, rootDelayMs_, rootDispersionMs_,
            double(times_.roundTrip())};
}

void SntpClient::finish(SntpOutcome outcome, const QString& error) {
    limit_->stop();
    running_ = waiting_ = false;
    emit finished(outcome, error); // the last thing: a slot may destroy the client
}

} // namespace ks
