#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace ks {

// The local socket through which this user's commands ask the running program about its
// state. A client sends one request line and gets one answer, then the connection ends.
// Only the owner may connect (mode 0600). A client cannot stall or flood the program: a
// request is at most MaxStatusRequestBytes, a connection lives at most TimeLimitMs before its
// request and again after its answer (the time the program takes to answer not counted), and
// at most MaxConnections are open at once (more are closed at once).
class StatusServer : public QObject {
    Q_OBJECT
public:
    // Takes a request line and gives its answer to `answer`, at once or later (once at most);
    // an empty answer closes the connection unanswered.
    using Answer = std::function<void(const QByteArray& answer)>;
    using Handler = std::function<void(const QByteArray& request, const Answer& answer)>;
    static constexpr int MaxConnections = 8;
    static constexpr int TimeLimitMs = 2000;

    StatusServer(Handler handler, QObject* parent = nullptr);
    ~StatusServer() override;
    // Takes the socket over (only the holder of the single-instance lock may call this).
    bool listen(const QString& path, QString* error);

    // The client side, for a second copy of the program: sends the request and returns the
    // answer, or an empty text when no copy answered within the time.
    static QByteArray ask(const QString& path, const QByteArray& request, int timeoutMs);

private:
    void accept();
    void serve(QLocalSocket* socket);

    Handler handler_;
    QLocalServer* server_ = nullptr;
    int open_ = 0;
};

} // namespace ks
