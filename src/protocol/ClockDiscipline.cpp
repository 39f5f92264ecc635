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
    phases_.clear();
    correctedMs_ = 0;
}

void ClockDiscipline::runUntil(qint64 localMs) {
    const double ms = lastMs_ ? double(localMs - *lastMs_) : 0;
    lastMs_ = localMs;
    if (ms <= 0) return;
    const double taken = std::clamp(pendingMs_, -ms * SlewRate, ms * SlewRate);
    pendingMs_ -= taken;
    correctedMs_ += taken;
    // The kept offsets were measured before the clock moved by this much: counted as they
    // were, the slew would correct the same error again.
    for (Point& p : offsets_) p.value -= taken;
    if (frequency_) correctedMs_ += *frequency_ * 1e-6 * ms;
}

std::optional<double> ClockDiscipline::fittedPpm() const {
    if (phases_.size() < 2 || phases_.last().localMs - phases_.first().localMs < MinFitSpanMs)
        return std::nullopt;
    // Least squares, about the first point so the sums stay small.
    const qint64 t0 = phases_.first().localMs;
    double st = 0, sv = 0;
    for (const Point& p : phases_) st += double(p.localMs - t0), sv += p.value;
    const double mt = st / double(phases_.size()), mv = sv / double(phases_.size());
    double stt = 0, stv = 0;
    for (const Point& p : phases_) {
        const double dt = double(p.localMs - t0) - mt;
        stt += dt * dt;
        stv += dt * (p.value - mv);
    }
    return std::clamp(stv / stt * 1e6, -MaxFrequencyPpm, MaxFrequencyPpm);
}

ClockDiscipline::Decision ClockDiscipline::sample(qint64 trueMs, qint64 localMs, double uncertaintyMs) {
    using Kind = Decision::Kind;
    const double offset = double(trueMs - localMs);
    const auto taken = [&](Decision d) {
        takenMs_ = localMs;
        uncertaintyMs_ = uncertaintyMs;
        return d;
    };
    const auto step = [&] {
        stepped_ = true;
        farOff_ = 0;
        offsets_.clear();
        // A step may be a new level of the source: the fit starts again from it.
        phases_ = {{localMs, offset + correctedMs_}};
        correctedMs_ += offset;
        pendingMs_ = 0; // a step ends a slew in progress
        return taken(Decision{Kind::Step, trueMs, 0, {}});
    };
    if (mode_ == Mode::Step) {
        lastMs_ = localMs;
        return taken(Decision{Kind::Step, trueMs, 0, {}});
    }
    runUntil(localMs);
    if (!stepped_) return step();

    if (std::abs(offset) > StepThresholdMs) {
        // A lone far-off sample is a spike; a sustained one a new level.
        if (++farOff_ >= StepAfter) return step();
        return {};
    }
    farOff_ = 0;
    while (!offsets_.isEmpty() && localMs - offsets_.first().localMs > MedianSpanMs) offsets_.removeFirst();
    offsets_.append({localMs, offset});
    if (offsets_.size() > MedianOf) offsets_.removeFirst();
    QList<double> near;
    for (const Point& p : offsets_) near.append(p.value);
    Decision d{Kind::Slew, 0, median(near), {}};
    pendingMs_ = d.slewMs; // a slew replaces the one still running

    if (std::abs(offset - d.slewMs) <= SpikeMs) {
        phases_.append({localMs, offset + correctedMs_});
        while (phases_.size() > FitPoints || localMs - phases_.first().localMs > FitSpanMs)
            phases_.removeFirst();
    }
    // The slew follows the median of the kept offsets, which is known better than any one of
    // them: its standard error is about 1.25 sigma / sqrt(n).
    uncertaintyMs *= std::min(1.0, 1.2533 / std::sqrt(double(offsets_.size())));
    const std::optional<double> fit = fittedPpm();
    const bool due = !frequencySetMs_ || localMs - *frequencySetMs_ >= FrequencyEveryMs;
    if (fit && due && (!frequency_ || std::abs(*fit - *frequency_) >= 0.0005)) {
        frequency_ = d.frequencyPpm = *fit;
        frequencySetMs_ = localMs;
    }
    return taken(d);
}

std::optional<double> ClockDiscipline::errorBoundMs(qint64 nowMs) const {
    if (!takenMs_) return std::nullopt;
    const double ms = double(qMax<qint64>(0, nowMs - *takenMs_));
    const double sinceSlew = double(qMax<qint64>(0, nowMs - lastMs_.value_or(nowMs)));
    const double slewLeft = qMax(0.0, std::abs(pendingMs_) - sinceSlew * SlewRate);
    return uncertaintyMs_ + slewLeft + (frequency_ ? CorrectedDriftPpm : DriftPpm) * 1e-6 * ms;
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
