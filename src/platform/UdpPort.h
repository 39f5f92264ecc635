#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <memory>
#include <optional>

namespace ks {

// A UDP port on every address of one family, whose datagrams tell when the system received
// them and at which local address, so an answer leaves from the address its request came to.
class UdpPort {
public:
    struct Datagram {
        QByteArray bytes;
        QHostAddress from;
        quint16 fromPort = 0;
        QHostAddress to; // null when the system does not say
        int toInterface = 0;
        qint64 receivedNs = 0; // the system's stamp, else the reading at the read
    };
    // Opens any:port of the address's family (IPv6 for IPv6 only). A privileged port is
    // bound with the right to it raised for the call alone. Null with the system's message.
    static std::unique_ptr<UdpPort> open(const QHostAddress& any, quint16 port, QString* error);
    ~UdpPort();
    UdpPort(const UdpPort&) = delete;
    UdpPort& operator=(const UdpPort&) = delete;

    qintptr descriptor() const { return socket_; }
    // The next waiting datagram; none when none waits.
    std::optional<Datagram> receive();
    // To where the datagram came from, from the address it came to.
    bool answer(const Datagram& to, const QByteArray& bytes, QString* error);

private:
    explicit UdpPort(qintptr socket) : socket_(socket) {}
    qintptr socket_;
};

// The smallest step the system clock is seen to make, in seconds.
double systemClockResolution();
// Who likely holds a UDP port that was refused: "chronyd or ntpd" and the like.
QByteArray likelyUdpPortHolder(quint16 port);

} // namespace ks
