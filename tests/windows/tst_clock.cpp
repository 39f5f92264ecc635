// The system's time adjustment as the slew and the frequency correction read it, under Wine
// too. Only read: setting it stays behind the clock-log seam.
#include "platform/win32/SystemMessage.h"
#include "platform/win32/TimeAdjustment.h"

#include <QTest>

#include <windows.h>

class TestClock : public QObject {
    Q_OBJECT
private slots:
    void time_adjustment_reads() {
        ks::TimeAdjustment now;
        QVERIFY2(ks::readTimeAdjustment(&now), qPrintable(ks::systemMessage(GetLastError())));
        qInfo("%s call: adjustment %llu, increment %llu, adjustment %s", now.precise ? "precise" : "32-bit",
              static_cast<unsigned long long>(now.adjustment), static_cast<unsigned long long>(now.increment),
              now.disabled ? "off" : "on");
        // A slew's 500 ppm needs at least 2000 units to the tick.
        QVERIFY2(now.increment >= 2000, "no usable nominal increment");
    }
};

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
