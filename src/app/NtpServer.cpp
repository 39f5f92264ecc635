#include "app/NtpServer.h"
#include "platform/SystemClockCalls.h"

#include <QJsonArray>
#include <QSocketNotifier>

namespace ks {

namespace {
// A whole socket buffer is taken per notification, bounded so the loop goes on meanwhile.
constexpr int ReadsPerNotification = 256;

NtpRateLimit::Address addressKey(const QHostAddress& address) {
    NtpRateLimit::Address key{};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR a = address.toIPv6Address();
        std::copy(a.c, a.c + 16, key.begin());
        return key;
    }
    key[10] = key[11] = 0xFF; // IPv4-mapped
    const quint32 v4 = address.toIPv4Address();
    for (int i = 0; i < 4; ++i) key[size_t(12 + i)] = quint8(v4 >> (24 - 8 * i));
    return key;
}
} // namespace

NtpServer::NtpServer(quint16 port, bool rateLimit, Hooks hooks, QObject* parent)
    : QObject(parent), port_(port), rateLimit_(rateLimit), hooks_(std::move(hooks)) {}

NtpServer::~NtpServer() = default;

void NtpServer::start() {
    precision_ = ntpPrecision(systemClockResolution());
    QByteArray failures;
    for (const QHostAddress& any :
         {QHostAddress(QHostAddress::AnyIPv4), QHostAddress(QHostAddress::AnyIPv6)}) {
        const QByteArray address = (any.protocol() == QAbstractSocket::IPv6Protocol ? "[::]:" : "0.0.0.0:") +
                                   QByteArray::number(port_);
        QString error;
        std::unique_ptr<UdpPort> socket = UdpPort::open(any, port_, &error);
        if (!socket) {
            // A system without IPv6 still serves IPv4: only a port that is taken is a fault.
            if (error != QLatin1String("Address family not supported by protocol"))
                failures += (failures.isEmpty() ? "" : "; ") + address + ": " + error.toLocal8Bit();
            continue;
        }
        auto* notifier = new QSocketNotifier(socket->descriptor(), QSocketNotifier::Read, this);
        UdpPort* raw = socket.get();
        connect(notifier, &QSocketNotifier::activated, this, [this, raw] { readable(raw); });
        listeners_.push_back({std::move(socket), notifier, address});
    }
    if (failures.isEmpty()) return;
    error_ = "cannot listen on UDP " + failures + " (likely held by " + likelyUdpPortHolder(port_) + ")";
    hooks_.log(error_, false);
}

void NtpServer::readable(UdpPort* socket) {
    for (int i = 0; i < ReadsPerNotification; ++i) {
        const std::optional<UdpPort::Datagram> d = socket->receive();
        if (!d) return;
        serve(socket, *d);
    }
}

void NtpServer::serve(UdpPort* socket, const UdpPort::Datagram& request) {
    const bool debug = hooks_.showDebug();
    const auto note = [&](const QByteArray& what) {
        if (debug) hooks_.log(request.from.toString().toLatin1() + ' ' + what, true);
    };
    const NtpRefusal refusal = checkNtpRequest(request.bytes);
    if (refusal != NtpRefusal::None) {
        ++dropped_[ntpRefusalName(refusal)];
        note("dropped: " + ntpRefusalName(refusal));
        return;
    }
    const bool allowed = limit_.allow(addressKey(request.from), request.receivedNs / 1'000'000);
    if (rateLimit_ && !allowed) {
        ++rateLimited_;
        note("rate limited");
        return;
    }
    QByteArray answer = ntpAnswer(request.bytes, ntpServedHeader(hooks_.servedTime()), precision_,
                                  ntpFromNs(request.receivedNs));
    stampTransmit(answer, ntpFromNs(readSystemClockNs()));
    QString error;
    if (!socket->answer(request, answer, &error)) {
        ++dropped_["send failed"];
        note("not answered: " + error.toLocal8Bit());
        return;
    }
    ++answered_;
    note("answered");
}

QJsonObject NtpServer::status() const {
    QJsonObject o;
    o[QLatin1String("listening")] = !listeners_.empty();
    QJsonArray addresses;
    for (const Listener& l : listeners_) addresses.append(QString::fromLatin1(l.address));
    o[QLatin1String("addresses")] = addresses;
    o[QLatin1String("answered")] = qint64(answered_);
    QJsonObject dropped;
    for (const auto& [reason, count] : dropped_) dropped[QString::fromLatin1(reason)] = qint64(count);
    o[QLatin1String("dropped")] = dropped;
    o[QLatin1String("rate_limited")] = qint64(rateLimited_);
    o[QLatin1String("clients_last_hour")] = limit_.clientsSince(readSystemClockNs() / 1'000'000 - 3'600'000);
    if (!error_.isEmpty()) o[QLatin1String("error")] = QString::fromLocal8Bit(error_);
    return o;
}

} // namespace ks
