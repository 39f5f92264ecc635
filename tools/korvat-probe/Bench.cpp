#include "Bench.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace probe {

namespace {
// Nearest-rank percentile of sorted values.
double percentile(const QList<double>& sorted, double p) {
    const auto rank = qsizetype(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::clamp<qsizetype>(rank - 1, 0, sorted.size() - 1)];
}

QString ms(double value) { return QString::number(value, 'f', 1); }
} // namespace

BenchCommand::BenchCommand(const Options& options, QObject* parent)
    : QObject(parent), options_(options), frame_(ks::requestFrame(options.kind)),
      token_(ks::replyToken(options.kind)) {
    pace_.setTimerType(Qt::PreciseTimer);
    pace_.setInterval(std::max(1, int(500 / std::max(options_.rate, 1.0))));
    connect(&pace_, &QTimer::timeout, this, &BenchCommand::launchMore);
    drain_.setSingleShot(true);
    drain_.setTimerType(Qt::PreciseTimer); // a coarse timer may end early
    connect(&drain_, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("waited %1 ms after the last request").arg(options_.timeoutMs));
    });
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer); // a coarse timer may end early
    connect(&deadline_, &QTimer::timeout, this,
            [this] { finish(QStringLiteral("deadline of %1 s reached").arg(options_.deadlineSeconds)); });
    sequentialWait_.setSingleShot(true);
    sequentialWait_.setTimerType(Qt::PreciseTimer); // a coarse timer may end early
    connect(&sequentialWait_, &QTimer::timeout, this, &BenchCommand::settle);
}

void BenchCommand::start() {
    const quint32 base = options_.sourceBase.toIPv4Address();
    for (int i = 0; i < options_.sources; ++i) {
        Source source;
        source.address = QHostAddress(base + quint32(i));
        source.listener = std::make_unique<ReplyListener>();
        QString error;
        if (!source.listener->listen(source.address, &error)) {
            printError(error);
            QCoreApplication::exit(ExitNetwork);
            return;
        }
        source.nextIndex = i;
        connect(source.listener.get(), &ReplyListener::accepted, this,
                [this, i](int serial) { accepted(i, serial); });
        connect(source.listener.get(), &ReplyListener::received, this,
                [this, i](int serial, const QByteArray& bytes, qint64 lastByteNs, const QHostAddress&) {
                    replied(i, serial, bytes, lastByteNs);
                });
        sources_.push_back(std::move(source));
    }
    requests_.resize(size_t(options_.requests));
    for (int i = 0; i < options_.requests; ++i) requests_[size_t(i)].source = i % options_.sources;

    printLine(QStringLiteral("requests   %1 %2 to %3:%4 from %5 source(s) %6 .. %7, %8")
                  .arg(options_.requests)
                  .arg(kindName(options_.kind), options_.host)
                  .arg(RequestPort)
                  .arg(options_.sources)
                  .arg(sources_.front().address.toString(), sources_.back().address.toString(), modeText()));
    startNs_ = monoNs();
    deadline_.start(options_.deadlineSeconds * 1000);
    if (options_.rate > 0) pace_.start();
    launchMore();
}

QString BenchCommand::modeText() const {
    if (options_.sequential) return QStringLiteral("one after another");
    if (options_.rate > 0) return QStringLiteral("%1 per second").arg(options_.rate);
    return QStringLiteral("all at once");
}

void BenchCommand::launchMore() {
    int limit = options_.requests;
    if (options_.rate > 0) {
        const double elapsedS = double(monoNs() - startNs_) / 1e9;
        limit = std::min(limit, int(std::floor(elapsedS * options_.rate)) + 1);
    }
    if (options_.sequential) limit = std::min(limit, settled_ + 1);
    // A source's next request waits until its previous one is sent, so each source's
    // requests reach the server in the order judged, whatever order connections finish in;
    // meanwhile the other sources go on.
    while (!finished_ && next_ < limit && inFlight_ < options_.inFlight) {
        int index = -1;
        for (const Source& s : sources_) {
            if (!s.connecting && s.nextIndex < limit && (index < 0 || s.nextIndex < index))
                index = s.nextIndex;
        }
        if (index < 0) break;
        sources_[size_t(requests_[size_t(index)].source)].nextIndex += options_.sources;
        ++next_;
        launch(index);
    }
    if (next_ == options_.requests) pace_.stop();
}

void BenchCommand::launch(int index) {
    Request& request = requests_[size_t(index)];
    Source& source = sources_[size_t(request.source)];
    ++inFlight_;
    source.connecting = true;
    sendRequest(
        this, options_.host, source.address, frame_,
        [this, index] {
            // Waiting at once: the reply may be read before this connection is closed. A
            // source's requests are sent one after another (see launchMore), so its order of
            // numbers is the order the server received them in.
            Request& r = requests_[size_t(index)];
            sources_[size_t(r.source)].connecting = false;
            r.sentNs = monoNs();
            ++sent_;
            if (firstSentNs_ < 0) firstSentNs_ = r.sentNs;
            QList<int>& waiting = sources_[size_t(r.source)].waiting;
            waiting.insert(std::upper_bound(waiting.begin(), waiting.end(), index) - waiting.begin(), index);
            if (options_.sequential) sequentialWait_.start(options_.timeoutMs);
            launchMore();
        },
        [this, index](const QString& why) {
            sources_[size_t(requests_[size_t(index)].source)].connecting = false;
            if (firstSendError_.isEmpty()) firstSendError_ = why;
            ++notSent_;
            if (options_.sequential) settle();
        },
        [this] {
            --inFlight_;
            launchMore();
            checkDone();
        });
}

void BenchCommand::accepted(int sourceIndex, int serial) {
    if (finished_) return;
    Source& source = sources_[size_t(sourceIndex)];
    if (source.waiting.isEmpty()) {
        ++unexpected_;
        return;
    }
    // Replies to one source come back in the order its requests went out, and the server
    // opens its reply connections in the order of the requests: the order of acceptance is
    // the order served.
    // Order is judged per source: the requests of different sources race on the way in.
    const int index = source.waiting.takeFirst();
    source.answering.insert(serial, index);
    if (index < source.maxIndex) ++outOfOrder_;
    else source.maxIndex = index;
}

void BenchCommand::replied(int sourceIndex, int serial, const QByteArray& bytes, qint64 lastByteNs) {
    if (finished_) return;
    Source& source = sources_[size_t(sourceIndex)];
    if (!source.answering.contains(serial)) return; // unasked for, counted when it came
    const Request& request = requests_[size_t(source.answering.take(serial))];
    ++answered_;
    lastReplyNs_ = std::max(lastReplyNs_, lastByteNs);
    if (lastByteNs >= 0) latenciesMs_.append(double(lastByteNs - request.sentNs) / 1e6);
    QString error;
    const std::optional<ks::ParsedReply> reply = ks::parseReply(bytes, token_, &error);
    if (reply && token_ != ks::TokenQuorix && lastByteNs >= 0) {
        const double errorMs = clientErrorMs(reply->seconds * 1000, utcMsAt(lastByteNs));
        clientErrorsMs_.append(errorMs);
        const auto last = lastOfSecondMs_.find(reply->seconds);
        if (last == lastOfSecondMs_.end()) lastOfSecondMs_.insert(reply->seconds, errorMs);
        else *last = std::min(*last, errorMs);
    }
    if (!reply) {
        ++malformed_;
        if (firstMalformed_.isEmpty()) firstMalformed_ = printable(bytes) + QStringLiteral(": ") + error;
    }
    if (options_.sequential) settle();
    checkDone();
}

void BenchCommand::settle() {
    sequentialWait_.stop();
    ++settled_;
    launchMore();
}

void BenchCommand::checkDone() {
    if (finished_ || next_ < options_.requests || inFlight_ > 0) return;
    if (answered_ == sent_) {
        finish(QStringLiteral("every request sent was answered"));
    } else if (!drain_.isActive()) {
        drain_.start(options_.timeoutMs);
    }
}

void BenchCommand::finish(const QString& why) {
    if (finished_) return;
    finished_ = true;
    pace_.stop();
    drain_.stop();
    deadline_.stop();
    sequentialWait_.stop();

    const int lost = sent_ - answered_;
    printLine(QStringLiteral("sent       %1").arg(sent_));
    const int notStarted = options_.requests - next_;
    if (notStarted > 0) printLine(QStringLiteral("not started %1").arg(notStarted));
    printLine(QStringLiteral("not sent   %1%2")
                  .arg(notSent_)
                  .arg(firstSendError_.isEmpty()
                           ? QString()
                           : QStringLiteral(" (") + firstSendError_ + QLatin1Char(')')));
    printLine(QStringLiteral("answered   %1").arg(answered_));
    printLine(QStringLiteral("lost       %1").arg(lost));
    printLine(QStringLiteral("malformed  %1%2")
                  .arg(malformed_)
                  .arg(firstMalformed_.isEmpty()
                           ? QString()
                           : QStringLiteral(" (first: ") + firstMalformed_ + QLatin1Char(')')));
    if (unexpected_ > 0) printLine(QStringLiteral("unexpected %1").arg(unexpected_));
    printLine(outOfOrder_ == 0 ? QStringLiteral("in order   yes")
                               : QStringLiteral("in order   no (%1 out of order)").arg(outOfOrder_));
    if (!latenciesMs_.isEmpty()) {
        QList<double> sorted = latenciesMs_;
        std::sort(sorted.begin(), sorted.end());
        printLine(QStringLiteral("latency    p50 %1 ms  p99 %2 ms  max %3 ms")
                      .arg(ms(percentile(sorted, 50)), ms(percentile(sorted, 99)), ms(sorted.last())));
    }
    if (!clientErrorsMs_.isEmpty()) {
        QList<double> sorted = clientErrorsMs_;
        std::sort(sorted.begin(), sorted.end());
        printLine(QStringLiteral("client error min %1 ms  p50 %2 ms  p99 %3 ms  max %4 ms")
                      .arg(ms(sorted.first()), ms(percentile(sorted, 50)), ms(percentile(sorted, 99)),
                           ms(sorted.last())));
    }
    if (!lastOfSecondMs_.isEmpty()) {
        // Replies on the second: how late each edge's last reply came, not only the worst edge's.
        QList<double> sorted = lastOfSecondMs_.values();
        std::sort(sorted.begin(), sorted.end());
        const auto within = std::count_if(sorted.begin(), sorted.end(), [](double e) { return e >= -2; });
        printLine(QStringLiteral(
                      "each second's last reply: p50 %1 ms  p10 %2 ms  min %3 ms; within 2 ms in %4 of %5")
                      .arg(ms(percentile(sorted, 50)), ms(percentile(sorted, 10)), ms(sorted.first()))
                      .arg(within)
                      .arg(sorted.size()));
    }
    if (firstSentNs_ >= 0 && lastReplyNs_ >= 0) {
        printLine(QStringLiteral("last reply %1 ms after the first request")
                      .arg(ms(double(lastReplyNs_ - firstSentNs_) / 1e6)));
    }
    if (firstSentNs_ >= 0 && lastReplyNs_ > firstSentNs_) {
        printLine(
            QStringLiteral("rate       %1 replies/s")
                .arg(QString::number(double(answered_) * 1e9 / double(lastReplyNs_ - firstSentNs_), 'f', 0)));
    }
    printLine(QStringLiteral("ended      %1 after %2 s")
                  .arg(why, QString::number(double(monoNs() - startNs_) / 1e9, 'f', 2)));

    int code = ExitOk;
    if (notSent_ > 0) code = ExitNetwork;
    else if (malformed_ > 0 || outOfOrder_ > 0 || unexpected_ > 0) code = ExitMalformed;
    else if (lost > 0 || notStarted > 0) code = ExitNoReply;
    QCoreApplication::exit(code);
}

} // namespace probe
