#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace ks::test {

Pty::Pty() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return; // both stay -1
    slavePath_ = QString::fromLocal8Bit(name);
    // A program the test starts must not inherit either side: a master left open in it would
    // keep the line up after hangUp().
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Raw from the start, so bytes sent before the program sets the line up are neither
    // echoed nor translated.
    termios t = lineSettings();
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
}

Pty::~Pty() {
    hangUp();
    if (slave_ >= 0) ::close(slave_);
}

bool Pty::write(const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        pollfd room{master_, POLLOUT, 0};
        if (n < 0 && (errno == EINTR || (errno == EAGAIN && ::poll(&room, 1, 10'000) == 1))) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

QByteArray Pty::readAvailable() {
    QByteArray got;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        got.append(buffer, n);
    }
    return got;
}

void Pty::hangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

termios Pty::lineSettings() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
}

bool Pty::exclusive() const {
    int on = 0;
    return ::ioctl(slave_, TIOCGEXCL, &on) == 0 && on != 0;
}

} // namespace ks::test
