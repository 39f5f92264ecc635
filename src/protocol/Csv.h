#pragma once

#include <QByteArray>
#include <QList>

namespace ks {

// One CSV line: each cell in double quotes, joined by commas, ended by CR LF. A double quote
// inside a cell is doubled, so every line stays readable by a CSV reader; cells without
// quotes come out byte for byte.
QByteArray csvLine(const QList<QByteArray>& cells);

} // namespace ks
