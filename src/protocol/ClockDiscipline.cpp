#include "protocol/ClockDiscipline.h"

#include <algorithm>
#include <cmath>

namespace ks {

double median(QList<double> values) {
    if (values.isEmpty()) return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void ClockDiscipline::restart() {
    stepped_ = false;
    farOff_ = 0;
    offsets_.clear();
}

ClockDiscipline::Decision ClockDiscipline::sample(qint64 trueMs, qint64 localMs) {
    using Kind = Decision::Kind;
    const auto step = [&] {
        stepped_ = true;
        farOff_ = 0;
        offsets_.clear();
        return Decision{Kind::Step, trueMs, 0};
    };
    if (mode_ == Mode::Step || !stepped_) return step();

    const double offset = double(trueMs - localMs);
    if (std::abs(offset) > StepThresholdMs) {
        // A lone far-off sample is a spike; a sustained one a new level.
        if (++farOff_ >= StepAfter) return step();
        return {};
    }
    farOff_ = 0;
    offsets_.append(offset);
    if (offsets_.size() > MedianOf) offsets_.removeFirst();
    return Decision{Kind::Slew, 0, median(offsets_)};
}

void LatenessWindow::add(double lateMs) {
    values_.append(lateMs);
    if (values_.size() > Kept) values_.removeFirst();
}

double LatenessWindow::spread() const {
    const double m = median();
    QList<double> deviations;
    for (const double v : values_) deviations.append(std::abs(v - m));
    return ks::median(deviations);
}

} // namespace ks
