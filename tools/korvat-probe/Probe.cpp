#include "Probe.h"
#include "platform/SocketCalls.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSocketNotifier>
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

namespace {
// From the start of the process, not from the first reading: a reply's arrival stamp may
// name a moment before any reading was taken.
const QElapsedTimer processStart = [] {
    QElapsedTimer t;
    t.start();
    return t;
}();
} // namespace

qint64 monoNs() { return processStart.nsecsElapsed(); }

namespace {
// The monoNs() of an arrival stamp, both clocks read side by side: however late the stamp is
// read out, and whatever this process waited for meanwhile, the conversion adds none of it. A
// stamp not of the last second (none given, a segment before stamping was asked for, a stamp
// on another clock) is no arrival time: now stands in.
qint64 monoAtSystemNs(qint64 stampNs) {
    const qint64 systemNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    const qint64 mono = monoNs();
    const qint64 ago = systemNs - stampNs;
    return ago > 0 && ago < 1'000'000'000 ? mono - ago : mono;
}
} // namespace

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
    server_.taken = [this](qintptr socket) { accept(socket); };
}

bool ReplyListener::listen(const QHostAddress& address, QString* error) {
    if (server_.listen(address, ReplyPort)) {
        // Asked for on the listener, arrivals are stamped from now on, and its connections
        // inherit it. Asked for only on each accepted connection, Linux stamps nothing while
        // none is open, nor until it has switched stamping on after the first: a reply
        // arriving then is timed by its reading, late by this process' own delays.
        ks::socketcalls::stampArrivals(server_.socketDescriptor());
        return true;
    }
    *error = QStringLiteral("cannot listen on %1 port %2: %3")
                 .arg(address.toString())
                 .arg(ReplyPort)
                 .arg(server_.errorString());
    return false;
}

void ReplyListener::accept(qintptr socket) {
    ks::socketcalls::stampArrivals(socket);
    Connection& c = open_[socket];
    c.serial = accepted_++;
    c.peer = ks::socketcalls::peerIPv4(socket);
    c.notifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    connect(c.notifier, &QSocketNotifier::activated, this, [this, socket] { readable(socket); });
    emit accepted(c.serial);
    readable(socket); // what came with the connection
}

void ReplyListener::readable(qintptr socket) {
    auto c = open_.find(socket);
    if (c == open_.end()) return;
    for (;;) {
        char data[MaxReplyBytes + 1];
        qint64 count = 0;
        qint64 stampNs = 0;
        const qint64 room = MaxReplyBytes + 1 - c->bytes.size();
        using ks::socketcalls::Received;
        switch (ks::socketcalls::receiveStamped(socket, data, room, &count, &stampNs)) {
        case Received::Nothing: return;
        case Received::Data:
            c->bytes.append(data, count);
            c->lastByteNs = monoAtSystemNs(stampNs);
            if (c->bytes.size() <= MaxReplyBytes) continue;
            return finish(socket); // more than any reply: cut off
        default: return finish(socket);
        }
    }
}

void ReplyListener::finish(qintptr socket) {
    const auto c = open_.find(socket);
    if (c == open_.end()) return;
    const Connection done = *c;
    open_.erase(c);
    delete done.notifier;
    ks::socketcalls::closeSocket(socket);
    emit received(done.serial, done.bytes, done.lastByteNs, done.peer);
}

void ReplyListener::closeOpen() {
    const QList<qintptr> sockets = open_.keys();
    for (const qintptr socket : sockets) {
        readable(socket);
        finish(socket);
    }
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
