#pragma once
// The load and fault suite's common pieces: a case's verdict, its line of figures, and the
// suites' tables of cases, which the driver (soak_main.cpp) runs.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <vector>

namespace ks::soak {

// One case's verdict; the first fault found is named in its line.
struct Verdict {
    bool ok = true;
    QByteArray fault;
    void fail(const QByteArray& why) {
        if (ok) fault = why;
        ok = false;
    }
    void check(bool holds, const QByteArray& why) {
        if (!holds) fail(why);
    }
};

struct Case {
    const char* name;
    std::function<Verdict(QByteArray& figures)> run;
};

inline QByteArray num(qint64 v) {
    return QByteArray::number(v);
}
inline QByteArray fixed(double v, int decimals = 2) {
    return QByteArray::number(v, 'f', decimals);
}
inline QByteArray ms(qint64 v) {
    return QByteArray::number(v) + " ms";
}
inline QByteArray mib(qint64 kib) {
    return QByteArray::number(double(kib) / 1024.0, 'f', 1) + " MiB";
}

// Seconds on the monotonic clock.
inline double nowS() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The nearest-rank percentile (also the benchmarks').
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(std::max(1.0, std::ceil(p / 100.0 * double(v.size())))) - 1];
}

inline QList<QByteArray> fileLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QList<QByteArray> lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

QList<Case> networkCases();
QList<Case> serialCases();
QList<Case> sntpCases();
QList<Case> settingsCases();
// The settings suite's child process: saves in a loop until killed.
int settingsSaveLoop(const QString& path, quint32 base);

} // namespace ks::soak
