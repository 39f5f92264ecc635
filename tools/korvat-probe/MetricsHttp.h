#pragma once

#include <QHostAddress>
#include <QTcpServer>

namespace probe {

// Hands the HTTP server its connections, each bounded: bytes it may send, time it may stay,
// and how many may be open at once. Past a bound the connection is cut.
class BoundedListener : public QTcpServer {
public:
    static constexpr qint64 MaxRequestBytes = 16 * 1024;
    static constexpr int MaxConnectionMs = 10000;
    static constexpr int MaxConnections = 32;

    using QTcpServer::QTcpServer;
    QTcpSocket* nextPendingConnection() override;

private:
    int open_ = 0;
};

// `metrics --listen ADDRESS:PORT`: GET /metrics answers the state as `metrics` prints it, read
// from the status socket at each request. Runs until interrupted; ExitNetwork when it cannot
// listen.
int metricsListenCommand(const QHostAddress& address, quint16 port);

} // namespace probe
