#include "protocol/SettingRanges.h"

namespace ks {

namespace {
const DwordRange Ranges[] = {
    {"source", 0, {{0, 3}}},                              // 2 is kept: the tick treats it as a serial source
    {"port", 2, {{1, 5}}},        {"baud", 7, {{1, 15}}}, // the window offers 6 and 7; by hand any speed code
    {"data", 3, {{2, 3}}},        {"parity", 0, {{0, 2}}},          {"stop", 0, {{0, 0}, {2, 2}}},
    {"autoconnect", 0, {{0, 1}}}, {"localtime", 0, {{0, 1}}},       {"gmt", 1, {{0, 1}}},
    {"chimes", 0, {{0, 1}}},      {"gpsdelay", 0, {{-1000, 1000}}}, {"slew", 0, {{0, 1}}},
    {"onsecond", 0, {{0, 1}}},    {"holdover", 0, {{0, 86'400}}},
};
} // namespace

const DwordRange* dwordRange(const QByteArray& name) {
    for (const DwordRange& r : Ranges)
        if (name == r.name) return &r;
    return nullptr;
}

bool dwordAllowed(const DwordRange& range, qint32 value) {
    for (const auto& [low, high] : range.allowed)
        if (value >= low && value <= high) return true;
    return false;
}

QByteArray allowedText(const DwordRange& range) {
    QList<QByteArray> parts;
    for (const auto& [low, high] : range.allowed) {
        if (low == high) parts << QByteArray::number(low);
        else if (high == low + 1) parts << QByteArray::number(low) << QByteArray::number(high);
        else parts << QByteArray::number(low) + " to " + QByteArray::number(high);
    }
    const QByteArray last = parts.takeLast();
    return parts.isEmpty() ? last : parts.join(", ") + " or " + last;
}

QByteArray outOfRangeNotice(const DwordRange& range, qint32 value, const QByteArray& file) {
    return "Settings: \"" + QByteArray(range.name) + "\"=" + QByteArray::number(value) + " in " + file +
           " is not allowed (" + allowedText(range) + "); using " + QByteArray::number(range.fallback) +
           " until it is changed (the file keeps it)";
}

} // namespace ks
