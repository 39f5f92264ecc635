// The yardstick for idle cost: a Qt Widgets program that does nothing but run timers
// (by default one of 250 ms, like the clock tick). Intervals in ms as arguments.
#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QList<int> intervals;
    for (int i = 1; i < argc; ++i) intervals.append(QByteArray(argv[i]).toInt());
    if (intervals.isEmpty()) intervals.append(250);
    int ticks = 0;
    for (int ms : intervals) {
        auto* t = new QTimer(&app);
        QObject::connect(t, &QTimer::timeout, [&ticks] { ++ticks; });
        t->start(ms);
    }
    return QApplication::exec();
}
