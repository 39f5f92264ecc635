#pragma once

#include <QList>
#include <QtGlobal>

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
    // The slew follows the median of this many latest offsets, so a single spike does not move it.
    static constexpr int MedianOf = 5;

    struct Decision {
        enum class Kind { None, Step, Slew } kind = Kind::None;
        qint64 stepToMs = 0; // Step: the instant to set the clock to, taken at the sample
        double slewMs = 0;   // Slew: the amount to add gradually (positive: the clock gains)
    };

    explicit ClockDiscipline(Mode mode = Mode::Step) : mode_(mode) {}
    Mode mode() const { return mode_; }
    // At start and at a change of source: the next sample steps.
    void restart();
    Decision sample(qint64 trueMs, qint64 localMs);

private:
    Mode mode_;
    bool stepped_ = false;  // a step since the last restart
    int farOff_ = 0;        // far-off samples in a row
    QList<double> offsets_; // the latest near offsets, oldest first
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
