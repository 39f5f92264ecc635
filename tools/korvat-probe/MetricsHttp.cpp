#include "MetricsHttp.h"

#include "Metrics.h"
#include "Probe.h"
#include "Status.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHttpServer>
#include <QTcpSocket>
#include <QTimer>

namespace probe {

QTcpSocket* BoundedListener::nextPendingConnection() {
    QTcpSocket* socket = QTcpServer::nextPendingConnection();
    if (!socket) return nullptr;
    if (open_ >= MaxConnections) {
        socket->abort();
        socket->deleteLater();
        return nextPendingConnection();
    }
    ++open_;
    connect(socket, &QObject::destroyed, this, [this] { --open_; });
    QTimer::singleShot(MaxConnectionMs, socket, [socket] { socket->abort(); });
    // Connected before the HTTP server's own reader, so this sees each block before it is read.
    connect(socket, &QTcpSocket::readyRead, socket, [socket, received = qint64(0)]() mutable {
        received += socket->bytesAvailable();
        if (received > MaxRequestBytes) socket->abort();
    });
    return socket;
}

int metricsListenCommand(const QHostAddress& address, quint16 port) {
    QHttpServer http;
    http.route(QStringLiteral("/metrics"), [](const QHttpServerRequest& request) {
        if (request.method() != QHttpServerRequest::Method::Get)
            return QHttpServerResponse(QHttpServerResponder::StatusCode::MethodNotAllowed);
        const std::optional<QJsonObject> status = fetchStatus();
        return QHttpServerResponse(QByteArrayLiteral("text/plain; version=0.0.4"),
                                   metricsText(status, QDateTime::currentMSecsSinceEpoch()));
    });
    auto* listener = new BoundedListener(&http);
    if (!listener->listen(address, port)) {
        printError(QStringLiteral("korvat-probe: cannot listen on %1:%2: %3")
                       .arg(address.toString())
                       .arg(port)
                       .arg(listener->errorString()));
        return ExitNetwork;
    }
    http.bind(listener);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    printLine(
        QStringLiteral("Serving metrics at http://%1:%2/metrics").arg(host).arg(listener->serverPort()));
    return QCoreApplication::exec();
}

} // namespace probe
