#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <ctime>

namespace ks::test {

// Puts TZ (any POSIX zone string) in force for its lifetime, then restores the previous one.
class ZoneScope {
public:
    explicit ZoneScope(const QByteArray& tz) : old_(qgetenv("TZ")) {
        qputenv("TZ", tz);
        tzset();
    }
    ~ZoneScope() {
        qputenv("TZ", old_);
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    QByteArray old_;
};

} // namespace ks::test
