#include "protocol/DateFormat.h"

#include <cmath>
#include <cstring>

namespace ks {

namespace {
const char* const DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Digits by hand: every log line, reply and displayed second comes through here.
void appendPadded(QByteArray& out, int value, int width) {
    char digits[12];
    int n = 0;
    unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) digits[n++] = '-';
    for (int i = n; i < width; ++i) out += '0';
    while (n) out += digits[--n];
}

bool startsWith(const char* p, const char* token) { return std::strncmp(p, token, std::strlen(token)) == 0; }
} // namespace

QByteArray formatDateTime(const char* pattern, const CivilTime& t) {
    QByteArray out;
    out.reserve(qsizetype(std::strlen(pattern)) + 8);
    for (const char* p = pattern; *p;) {
        if (startsWith(p, "yyyy")) {
            appendPadded(out, t.year, 4);
            p += 4;
        } else if (startsWith(p, "yy")) {
            appendPadded(out, ((t.year % 100) + 100) % 100, 2);
            p += 2;
        } else if (startsWith(p, "mmm")) {
            out += MonthNames[(t.month - 1 + 12) % 12];
            p += 3;
        } else if (startsWith(p, "mm")) {
            appendPadded(out, t.month, 2);
            p += 2;
        } else if (startsWith(p, "ddd")) {
            out += DayNames[weekday(t)];
            p += 3;
        } else if (startsWith(p, "dd")) {
            appendPadded(out, t.day, 2);
            p += 2;
        } else if (startsWith(p, "hh")) {
            appendPadded(out, t.hour, 2);
            p += 2;
        } else if (startsWith(p, "nn")) {
            appendPadded(out, t.minute, 2);
            p += 2;
        } else if (startsWith(p, "ss")) {
            appendPadded(out, t.second, 2);
            p += 2;
        } else if (startsWith(p, "zzz")) {
            appendPadded(out, t.msec, 3);
            p += 3;
        } else {
            out += *p++;
        }
    }
    return out;
}

QByteArray signedThreeDecimals(double value) {
    return (value < 0 ? '-' : '+') + QByteArray::number(std::abs(value), 'f', 3);
}

QByteArray utcStatusText(qint64 utcMs) { return formatDateTime("yyyy-mm-ddThh:nn:ssZ", civilFromMs(utcMs)); }

} // namespace ks
