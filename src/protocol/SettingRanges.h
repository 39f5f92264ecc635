#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace ks {

// The values a number setting may take, and the one used when the stored value is outside
// them. A new setting joins by one line in the table (SettingRanges.cpp).
struct DwordRange {
    const char* name;
    qint32 fallback;
    QList<QPair<qint32, qint32>> allowed; // inclusive intervals
};

// The range of that value, or nullptr when any number goes.
const DwordRange* dwordRange(const QByteArray& name);
bool dwordAllowed(const DwordRange& range, qint32 value);
// "1 to 5", "0 or 1", "0, 2 or 3".
QByteArray allowedText(const DwordRange& range);
// What the operator reads about a stored value outside its range.
QByteArray outOfRangeNotice(const DwordRange& range, qint32 value, const QByteArray& file);

} // namespace ks
