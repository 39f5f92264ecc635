#pragma once

#include "protocol/CivilTime.h"

#include <QByteArray>

namespace ks {

// The program's one date/time formatter. Tokens: "yyyy", "yy", "mmm" (Jan), "mm" (month),
// "ddd" (Mon), "dd" (day), "hh" (hour 00-23), "nn" (minutes), "ss" (seconds), "zzz"
// (milliseconds). Every other character is copied, so "/" and ":" are the date and time
// separators. Note: "mm" is the month and "nn" the minutes, unlike Qt's own formats.
QByteArray formatDateTime(const char* pattern, const CivilTime& t);

// A signed amount with three decimals and its sign always written: "+12.346", "-4.000".
QByteArray signedThreeDecimals(double value);
// An instant as the status writes it: "2026-12-07T10:00:00Z".
QByteArray utcStatusText(qint64 utcMs);

} // namespace ks
