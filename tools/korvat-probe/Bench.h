#pragma once

#include "Probe.h"

#include <QHash>
#include <QTimer>

#include <memory>
#include <vector>

namespace probe {

// korvat-probe bench: many requests from several source addresses, bounded in count and
// time; prints answered, lost, order and latency.
class BenchCommand : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxRequests = 1000000;
    static constexpr int MaxSources = 250;
    static constexpr int MaxDeadlineSeconds = 600;
    static constexpr double MaxRate = 10000;
    // Request connections open at once; more wait their turn.
    static constexpr int DefaultInFlight = 64;
    static constexpr int MaxInFlight = 1000;

    struct Options {
        QString host;
        int requests = 0;
        int sources = 1;
        ks::ClientType kind = ks::ClientType::Korvat1001;
        QHostAddress sourceBase{QStringLiteral("127.0.0.1")};
        double rate = 0; // requests per second; 0: all at once
        bool sequential = false;
        int timeoutMs = 5000;
        int deadlineSeconds = 120;
        int inFlight = DefaultInFlight;
    };

    explicit BenchCommand(const Options& options, QObject* parent = nullptr);
    void start();

private:
    struct Request {
        int source = 0;
        qint64 sentNs = -1;
    };
    struct Source {
        QHostAddress address;
        std::unique_ptr<ReplyListener> listener;
        QList<int> waiting;        // requests sent, no reply yet, in the order opened
        QHash<int, int> answering; // reply connection serial -> request being answered
        int maxIndex = -1;         // highest request of this source answered so far
        bool connecting = false;   // a request of this source is not sent yet
        int nextIndex = 0;         // its next request to launch
    };

    void launchMore();
    void launch(int index);
    void accepted(int source, int serial);
    void replied(int source, int serial, const QByteArray& bytes, qint64 lastByteNs);
    void settle();
    void checkDone();
    void finish(const QString& why);
    QString modeText() const;

    Options options_;
    QByteArray frame_;
    QByteArray token_;
    std::vector<Request> requests_;
    std::vector<Source> sources_;
    QTimer pace_;
    QTimer drain_;
    QTimer deadline_;
    QTimer sequentialWait_;
    qint64 startNs_ = 0;
    qint64 firstSentNs_ = -1;
    qint64 lastReplyNs_ = -1;
    int next_ = 0; // requests launched
    int inFlight_ = 0;
    int settled_ = 0; // sequential: requests answered, failed or given up
    int sent_ = 0;
    int notSent_ = 0;
    int answered_ = 0;
    int malformed_ = 0;
    int outOfOrder_ = 0;
    int unexpected_ = 0;
    QList<double> latenciesMs_;
    QList<double> clientErrorsMs_;         // Korvat replies: seconds carried less this clock at the last byte
    QHash<qint64, double> lastOfSecondMs_; // by the second carried: the latest reply's client error
    QString firstSendError_;
    QString firstMalformed_;
    bool finished_ = false;
};

} // namespace probe
