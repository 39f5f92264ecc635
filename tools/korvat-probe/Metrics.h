#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <optional>

namespace probe {

// The server's state in the Prometheus text format (0.0.4): `status` is the status socket's
// answer, none when no server answered (then korvat_up 0 alone). `nowMs` (UTC) dates the
// last sample's age. A metric whose field the server does not give is left out; a counter
// it does not give is 0.
QByteArray metricsText(const std::optional<QJsonObject>& status, qint64 nowMs);

// A label value as the format wants it: backslash, double quote and line feed escaped.
QByteArray labelValue(const QString& text);

// `status --check`: why the server is unfit to serve, empty when it is fit.
QString unfitReason(const QJsonObject& status);

} // namespace probe
