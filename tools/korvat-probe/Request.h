#pragma once

#include "Probe.h"

#include <QTimer>

namespace probe {

// korvat-probe request: one request, its reply printed field by field.
class RequestCommand : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString host;
        ks::ClientType kind = ks::ClientType::Korvat1001;
        int timeoutMs = 5000;
        QHostAddress bind; // null: any address, and the system's choice of source
    };

    explicit RequestCommand(const Options& options, QObject* parent = nullptr);
    // Starts the exchange; the application's exit code says how it ended.
    void start();

private:
    void replied(int serial, const QByteArray& bytes, qint64 lastByteNs, const QHostAddress& peer);
    void timedOut();
    void finish(int code);

    Options options_;
    ReplyListener listener_;
    QTimer deadline_;
    qint64 sentNs_ = -1;
    bool finished_ = false;
};

} // namespace probe
