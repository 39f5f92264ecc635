#pragma once

#include <QList>
#include <QtGlobal>

#include <optional>

namespace ks {

// Turns time samples into clock changes. A sample says "the true instant trueMs was at the
// local clock's reading localMs"; any source gives them (an RMC sentence corrected by the
// receiver's delay, later a pulse marking the second).
class ClockDiscipline {
public:
    enum class Mode {
        Step, // set the clock at every sample
        Slew, // step when far off, otherwise adjust gradually, never backwards
    };
    // An offset beyond this is far off; this many far-off samples in a row make a step.
    static constexpr qint64 StepThresholdMs = 500;
    static constexpr int StepAfter = 3;
    // The slew follows the median of this many latest offsets, so a single spike does not move it;
    // the slew run since each was measured is taken off it, and one older than MedianSpanMs leaves.
    static constexpr int MedianOf = 5;
    static constexpr qint64 MedianSpanMs = 64'000;
    // The rate a slew runs at (the system's own, 500 ppm), in ms per ms.
    static constexpr double SlewRate = 0.0005;
    // The frequency is fitted to the offsets of up to FitSpanMs, once they span MinFitSpanMs,
    // and changed at most once per FrequencyEveryMs; an offset this far from the median is a
    // spike and stays out of the fit.
    static constexpr qint64 FitSpanMs = 4 * 3'600'000;
    static constexpr qint64 MinFitSpanMs = 900'000;
    static constexpr qint64 FrequencyEveryMs = 64'000;
    static constexpr double SpikeMs = 50;
    static constexpr int FitPoints = 8192;
    static constexpr double MaxFrequencyPpm = 500;
    // How fast the error may grow without samples: a PC clock's own frequency error, and what
    // is left once the frequency is corrected.
    static constexpr double DriftPpm = 100;
    static constexpr double CorrectedDriftPpm = 1;

    struct Decision {
        enum class Kind { None, Step, Slew } kind = Kind::None;
        qint64 stepToMs = 0; // Step: the instant to set the clock to, taken at the sample
        double slewMs = 0;   // Slew: the amount to add gradually (positive: the clock gains)
        // Slew mode: the frequency correction to set now, in ppm (positive: the clock gains).
        std::optional<double> frequencyPpm;
    };

    explicit ClockDiscipline(Mode mode = Mode::Step) : mode_(mode) {}
    Mode mode() const { return mode_; }
    // At start and at a change of source: the next sample steps, the fit starts afresh; the
    // frequency correction stays.
    void restart();
    // uncertaintyMs: how far from the truth the sample itself may be.
    Decision sample(qint64 trueMs, qint64 localMs, double uncertaintyMs = 0);
    // A correction already in force (kept from an earlier run).
    void setFrequency(double ppm) { frequency_ = ppm; }
    std::optional<double> frequencyPpm() const { return frequency_; }
    // How far off the clock may be at local reading nowMs: the last sample's uncertainty, the
    // slew still to run, and the drift since. Empty before the first sample.
    std::optional<double> errorBoundMs(qint64 nowMs) const;

private:
    struct Point {
        qint64 localMs;
        double value;
    };
    // What the clock's own corrections took up between the last sample and localMs.
    void runUntil(qint64 localMs);
    std::optional<double> fittedPpm() const;

    Mode mode_;
    bool stepped_ = false; // a step since the last restart
    int farOff_ = 0;       // far-off samples in a row
    QList<Point> offsets_; // the latest near offsets as they stand now, oldest first
    QList<Point>
        phases_; // offset plus every correction since the restart: a line whose slope is the frequency
    double correctedMs_ = 0; // corrections made since the restart
    double pendingMs_ = 0;   // slew not yet run
    std::optional<double> frequency_;
    std::optional<qint64> frequencySetMs_;
    std::optional<qint64> lastMs_;  // local reading of the last sample
    std::optional<qint64> takenMs_; // of the last one that stepped or slewed
    double uncertaintyMs_ = 0;
};

// The median of values (0 for none); the mean of the two middle ones for an even count.
double median(QList<double> values);

// The latest lateness figures of a receiver: CR arrival minus the instant its sentence names.
class LatenessWindow {
public:
    static constexpr int Kept = 60;
    void add(double lateMs);
    int count() const { return int(values_.size()); }
    double median() const { return ks::median(values_); }
    // The spread: the median absolute deviation from the median, robust to the odd late sentence.
    double spread() const;

private:
    QList<double> values_;
};

} // namespace ks
