#pragma once

#include <QThread>

namespace ks {

// Plays "hour.wav" once, then frees itself. Nobody waits for it, also not the exit.
class MySoundThread : public QThread {
    Q_OBJECT
public:
    static void start();

protected:
    void run() override;

private:
    MySoundThread() = default;
};

} // namespace ks
