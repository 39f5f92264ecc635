#include "Probe.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTcpSocket>

#include <chrono>
#include <cstdio>

namespace probe {

namespace {
void writeLine(FILE* stream, const QString& line) {
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

struct KindName {
    const char* name;
    ks::ClientType type;
};
constexpr KindName KindNames[] = {
    {"korvat", ks::ClientType::Korvat1001},
    {"korvat1010", ks::ClientType::Korvat1010},
    {"korvat1012", ks::ClientType::Korvat1012},
    {"quorix", ks::ClientType::Quorix},
};
} // namespace

void printLine(const QString& line) { writeLine(stdout, line); }
void printError(const QString& line) { writeLine(stderr, line); }

qint64 monoNs() {
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.nsecsElapsed();
}

double utcMsAt(qint64 atMonoNs) {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const qint64 mono = monoNs();
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count()) / 1e6 -
           double(mono - atMonoNs) / 1e6;
}

ks::ReplyInstant clockNow() {
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    return {now.toMSecsSinceEpoch(),
            {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec()}};
}

QString printable(const QByteArray& bytes) {
    QString text;
    for (const char c : bytes) {
        const auto u = uchar(c);
        if (u >= 0x20 && u < 0x7f && u != '\\') text += QLatin1Char(c);
        else text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return text;
}

ks::ClientType kindFromName(const QString& name) {
    for (const KindName& k : KindNames) {
        if (name == QLatin1String(k.name)) return k.type;
    }
    return ks::ClientType::None;
}

QString kindName(ks::ClientType type) {
    for (const KindName& k : KindNames) {
        if (k.type == type) return QLatin1String(k.name);
    }
    return {};
}

ReplyListener::ReplyListener(QObject* parent) : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &ReplyListener::accept);
}

bool ReplyListener::listen(const QHostAddress& address, QString* error) {
    if (server_.listen(address, ReplyPort)) return true;
    *error = QStringLiteral("cannot listen on %1 port %2: %3")
                 .arg(address.toString())
                 .arg(ReplyPort)
                 .arg(server_.errorString());
    return false;
}

void ReplyListener::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        const int serial = accepted_++;
        emit accepted(serial);
        auto bytes = std::make_shared<QByteArray>();
        auto lastByteNs = std::make_shared<qint64>(-1);
        const auto take = [socket, bytes, lastByteNs] {
            const QByteArray more = socket->read(MaxReplyBytes + 1 - bytes->size());
            if (!more.isEmpty()) *lastByteNs = monoNs();
            *bytes += more;
        };
        // Runs once: when the peer closes, on an error, when cut off, or at closeOpen().
        const auto finish = [this, serial, socket, bytes, lastByteNs, take] {
            if (!open_.remove(socket)) return;
            take();
            emit received(serial, *bytes, *lastByteNs, socket->peerAddress());
            socket->abort();
            socket->deleteLater();
        };
        open_.insert(socket, finish);
        connect(socket, &QTcpSocket::readyRead, this, [bytes, take, finish] {
            take();
            if (bytes->size() > MaxReplyBytes) finish();
        });
        connect(socket, &QTcpSocket::disconnected, this, finish);
        connect(socket, &QTcpSocket::errorOccurred, this, finish);
        if (socket->state() != QAbstractSocket::ConnectedState) finish();
    }
}

void ReplyListener::closeOpen() {
    const QList<std::function<void()>> finishers = open_.values();
    for (const auto& finish : finishers) finish();
}

void sendRequest(QObject* parent, const QString& host, const QHostAddress& from, const QByteArray& frame,
                 std::function<void()> onSent, std::function<void(const QString&)> onFailed,
                 std::function<void()> onDone) {
    auto* socket = new QTcpSocket(parent);
    auto sent = std::make_shared<bool>(false);
    auto ended = std::make_shared<bool>(false);
    const auto end = [socket, ended, onDone] {
        if (*ended) return;
        *ended = true;
        socket->deleteLater();
        onDone();
    };
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, sent, frame, onSent] {
        socket->write(frame);
        socket->flush();
        *sent = true;
        onSent();
        socket->disconnectFromHost();
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, end);
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket,
                     [socket, sent, onFailed, end](QAbstractSocket::SocketError) {
                         // After the frame is out the server may reset: the request stands.
                         if (!*sent) onFailed(socket->errorString());
                         end();
                     });
    if (!from.isNull() && !socket->bind(from, 0)) {
        // Reported from the event loop, like every other outcome, so callers never re-enter.
        const QString why =
            QStringLiteral("cannot use source address %1: %2").arg(from.toString(), socket->errorString());
        QMetaObject::invokeMethod(
            socket,
            [why, onFailed, end] {
                onFailed(why);
                end();
            },
            Qt::QueuedConnection);
        return;
    }
    socket->connectToHost(host, RequestPort);
}

} // namespace probe
