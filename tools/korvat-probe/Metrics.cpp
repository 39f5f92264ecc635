#include "Metrics.h"

#include <QDateTime>
#include <QStringList>

namespace probe {

namespace {

// One family: its HELP and TYPE, then each sample.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        name_ = name;
        text_ += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    // To the nanosecond, trailing zeros cut: 123.4 ms reads 0.1234, not 0.12340000000000001.
    void sample(double value, const QByteArray& labels = {}) {
        QByteArray digits = QByteArray::number(value, 'f', 9);
        while (digits.endsWith('0')) digits.chop(1);
        if (digits.endsWith('.')) digits.chop(1);
        if (digits == "-0") digits = "0";
        text_ += name_ + (labels.isEmpty() ? QByteArray() : '{' + labels + '}') + ' ' + digits + '\n';
    }
    // A gauge with one sample, only when the value is known.
    void gauge(const char* name, const char* help, std::optional<double> value) {
        if (!value) return;
        family(name, "gauge", help);
        sample(*value);
    }
    void counter(const char* name, const char* help, double value) {
        family(name, "counter", help);
        sample(value);
    }
    // One sample per key of `counts`, labelled `label`; the family even with none, so a
    // scraper sees the name from the start.
    void counters(const char* name, const char* label, const char* help, const QJsonObject& counts) {
        family(name, "counter", help);
        for (auto it = counts.begin(); it != counts.end(); ++it)
            sample(it.value().toDouble(), QByteArray(label) + "=\"" + labelValue(it.key()) + '"');
    }
    QByteArray text() const { return text_; }

private:
    QByteArray name_, text_;
};

// `per` 1000 turns milliseconds into seconds.
std::optional<double> number(const QJsonObject& o, const char* key, double per = 1) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble()) return std::nullopt;
    return v.toDouble() / per;
}

QJsonObject object(const QJsonObject& o, const char* key) { return o.value(QLatin1String(key)).toObject(); }

// The last digit of "source_reserved_state".
std::optional<double> stateDigit(const QJsonObject& status) {
    const QStringList parts = status.value(QLatin1String("status")).toString().split(QLatin1Char('_'));
    bool ok = false;
    const int state = parts.size() == 3 ? parts[2].toInt(&ok) : 0;
    return ok ? std::optional<double>(state) : std::nullopt;
}

std::optional<double> sampleAge(const QJsonObject& status, qint64 nowMs) {
    const QDateTime at = QDateTime::fromString(
        object(status, "last_sample").value(QLatin1String("at")).toString(), Qt::ISODateWithMs);
    if (!at.isValid()) return std::nullopt;
    return double(qMax<qint64>(0, nowMs - at.toMSecsSinceEpoch())) / 1000.0;
}

constexpr double Ms = 1000;
} // namespace

QByteArray labelValue(const QString& text) {
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    }
    return out;
}

QByteArray metricsText(const std::optional<QJsonObject>& status, qint64 nowMs) {
    Exposition out;
    out.gauge("korvat_up", "Whether the server answered on its status socket.", status ? 1 : 0);
    if (!status) return out.text();
    const QJsonObject& s = *status;
    const auto text = [&s](const char* key) { return labelValue(s.value(QLatin1String(key)).toString()); };
    out.family("korvat_info", "gauge", "The server's version, time source, NTP server and GPS device.");
    out.sample(1, "version=\"" + text("version") + "\",source=\"" + text("source") + "\",ntp_server=\"" +
                      text("ntp_server") + "\",device=\"" + text("device") + '"');
    out.gauge("korvat_sync_state", "0 not synchronised, 1 synchronising, 2 synchronised (the state digit).",
              stateDigit(s));
    out.gauge("korvat_estimated_error_seconds", "How far the clock may be from the true time.",
              number(s, "estimated_error_ms", Ms));
    out.gauge("korvat_last_sample_age_seconds", "Time since the last valid sample of the source.",
              sampleAge(s, nowMs));
    out.gauge("korvat_frequency_ppm", "The clock's estimated frequency error.", number(s, "frequency_ppm"));
    out.counter("korvat_clock_steps_total", "Clock steps since start.", number(s, "clock_steps").value_or(0));
    out.counter("korvat_clock_slews_total", "Clock slews since start.", number(s, "clock_slews").value_or(0));
    out.counters("korvat_replies_total", "kind", "Replies sent since start, by client kind.",
                 object(s, "replies_by_kind"));
    out.counter("korvat_replies_failed_total", "Replies that could not be delivered since start.",
                number(s, "replies_failed").value_or(0));
    out.counter("korvat_requests_refused_total", "Requests refused with the queue full since start.",
                number(s, "replies_refused").value_or(0));
    const QJsonObject gps = object(s, "gps");
    out.gauge("korvat_gps_satellites", "Satellites the receiver uses.", number(gps, "satellites"));
    const QJsonObject late = object(gps, "lateness_ms");
    out.gauge("korvat_gps_lateness_seconds", "Median lateness of the GPS sentences against this clock.",
              number(late, "count").value_or(0) > 0 ? number(late, "median", Ms) : std::nullopt);
    const QJsonObject answer = object(s, "last_ntp_answer");
    out.gauge("korvat_ntp_offset_seconds", "Offset of the last NTP answer from this clock.",
              number(answer, "offset_ms", Ms));
    out.gauge("korvat_ntp_stratum", "Stratum of the last NTP answer.", number(answer, "stratum"));
    if (const QJsonValue ntpServe = s.value(QLatin1String("ntp_serve")); ntpServe.isObject()) {
        const QJsonObject served = ntpServe.toObject();
        out.counter("korvat_ntp_server_answers_total", "NTP requests answered since start.",
                    number(served, "answered").value_or(0));
        out.counters("korvat_ntp_server_dropped_total", "reason",
                     "NTP requests dropped since start, by reason.", object(served, "dropped"));
    }
    return out.text();
}

QString unfitReason(const QJsonObject& status) {
    if (stateDigit(status) != 2)
        return QStringLiteral("not synchronised: %1 %2")
            .arg(status.value(QLatin1String("status")).toString(),
                 status.value(QLatin1String("status_words")).toString());
    const qint64 failed = status.value(QLatin1String("replies_failed")).toInteger();
    const qint64 sent = status.value(QLatin1String("replies_sent")).toInteger();
    // A client that does not listen fails its own replies; only a server that fails more
    // than it delivers is unfit.
    if (failed > sent)
        return QStringLiteral("replies failing: %1 failed, %2 sent since start").arg(failed).arg(sent);
    return {};
}

} // namespace probe
