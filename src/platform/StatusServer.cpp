#include "platform/StatusServer.h"

#include "protocol/RuntimePaths.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace ks {

StatusServer::StatusServer(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)), server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &StatusServer::accept);
}

StatusServer::~StatusServer() {
    if (server_->isListening()) QLocalServer::removeServer(server_->fullServerName());
}

bool StatusServer::listen(const QString& path, QString* error) {
    // The lock is held, so a socket file left there belongs to a copy that died.
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        *error = server_->errorString();
        return false;
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

void StatusServer::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (open_ >= MaxConnections) {
            socket->abort();
            continue;
        }
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        serve(socket);
    }
}

void StatusServer::serve(QLocalSocket* socket) {
    // Nothing beyond one request line is ever buffered.
    socket->setReadBufferSize(MaxStatusRequestBytes + 1);
    auto* limit = new QTimer(socket);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, socket, &QLocalSocket::abort);
    limit->start(TimeLimitMs);
    struct Exchange {
        QByteArray request;
        bool asked = false;
    };
    const auto exchange = std::make_shared<Exchange>(); // lives as long as the connection
    const auto read = [this, socket, exchange, limit] {
        if (exchange->asked || socket->state() != QLocalSocket::ConnectedState) return;
        QByteArray& request = exchange->request;
        request += socket->read(MaxStatusRequestBytes + 1 - request.size());
        const qsizetype nl = request.indexOf('\n');
        if (nl < 0) {
            if (request.size() > MaxStatusRequestBytes) socket->abort();
            return;
        }
        // The limit is for the client's part: an answer that takes the program a while (an
        // NTP attempt) is not cut off, and the client gets the full limit to read it.
        limit->stop();
        exchange->asked = true;
        const QPointer<QLocalSocket> alive(socket);
        handler_(request.left(nl).trimmed(), [alive, limit](const QByteArray& answer) {
            if (!alive) return; // the client went away meanwhile
            limit->start(TimeLimitMs);
            if (answer.isEmpty()) {
                alive->abort();
                return;
            }
            alive->write(answer);
            alive->disconnectFromServer(); // once the answer is out; the time limit still holds
        });
    };
    connect(socket, &QLocalSocket::readyRead, this, read);
    read();
}

QByteArray StatusServer::ask(const QString& path, const QByteArray& request, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(int(deadline.remainingTime()))) return {};
    socket.write(request + '\n');
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

} // namespace ks
