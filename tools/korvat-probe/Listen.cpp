#include "Listen.h"

#include "protocol/DateFormat.h"
#include "protocol/Replies.h"

#include <QCoreApplication>
#include <QNetworkDatagram>

namespace probe {

namespace {
const QHostAddress Group(QStringLiteral("224.0.0.1"));
}

ListenCommand::ListenCommand(int seconds, QObject* parent) : QObject(parent), seconds_(seconds) {
    end_.setSingleShot(true);
    end_.setTimerType(Qt::PreciseTimer); // a coarse timer may end early
    connect(&end_, &QTimer::timeout, this, [this] {
        printLine(QStringLiteral("%1 announcement(s) in %2 s").arg(count_).arg(seconds_));
        QCoreApplication::exit(ExitOk);
    });
    connect(&socket_, &QUdpSocket::readyRead, this, &ListenCommand::readDatagrams);
}

void ListenCommand::start() {
    // Shared, so a second listener (or the server's own tools) can sit on the same port.
    if (!socket_.bind(QHostAddress::AnyIPv4, AnnouncePort,
                      QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        printError(
            QStringLiteral("cannot listen on port %1: %2").arg(AnnouncePort).arg(socket_.errorString()));
        QCoreApplication::exit(ExitNetwork);
        return;
    }
    // Every host is in 224.0.0.1 anyway; the join only makes it explicit.
    if (!socket_.joinMulticastGroup(Group)) {
        printError(QStringLiteral("note: joining %1 failed (%2); listening anyway")
                       .arg(Group.toString(), socket_.errorString()));
    }
    printLine(QStringLiteral("listening on %1:%2").arg(Group.toString()).arg(AnnouncePort));
    if (seconds_ > 0) end_.start(seconds_ * 1000);
}

void ListenCommand::readDatagrams() {
    while (socket_.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket_.receiveDatagram();
        const QByteArray payload = datagram.data();
        const std::optional<ks::StatusTriple> status = ks::parseStatusMessage(payload);
        const QString meaning = status ? ks::statusMeaning(*status) : QStringLiteral("not a status message");
        ++count_;
        printLine(QStringLiteral("%1  from %2  %3  %4")
                      .arg(QString::fromLatin1(ks::formatDateTime("hh:nn:ss.zzz", clockNow().local)),
                           datagram.senderAddress().toString(), printable(payload), meaning));
    }
}

} // namespace probe
