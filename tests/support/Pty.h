#pragma once

#include <QByteArray>
#include <QString>

#include <termios.h>

namespace ks::test {

// A pseudo-terminal standing in for a serial GPS receiver: the program opens the slave
// (slavePath, e.g. through KSERVER_COM<n>), the test plays the receiver on the master. The
// test keeps a slave descriptor of its own open to read the line settings back.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QString slavePath() const { return slavePath_; }
    int slaveFd() const { return slave_; }
    // Sends bytes as the receiver would, waiting up to 10 s at a time while the line is full.
    bool write(const QByteArray& bytes);
    QByteArray readAvailable(); // what the program wrote and the test has not read; never blocks
    void hangUp();              // the receiver goes away: closing the master hangs up the slave
    termios lineSettings() const;
    bool exclusive() const; // TIOCEXCL on the slave: no further open may succeed

private:
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
};

} // namespace ks::test
