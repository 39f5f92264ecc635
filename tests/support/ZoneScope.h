#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <ctime>

namespace ks::test {

// Puts TZ (any POSIX zone string) in force for its lifetime, then restores the previous one.
class ZoneScope {
public:
    explicit ZoneScope(const QByteArray& tz) : old_(qgetenv("TZ")) { set(tz); }
    ~ZoneScope() { set(old_); }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    static void set(const QByteArray& tz) { qputenv("TZ", tz), tzset(); }
    QByteArray old_;
};

} // namespace ks::test
