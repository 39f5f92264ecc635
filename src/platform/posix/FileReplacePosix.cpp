#include "platform/FileReplace.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ks {

namespace {
bool fail(QString* error) {
    if (error) *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}
} // namespace

bool replaceFileContents(const QString& path, const QByteArray& data, QString* error) {
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".saving";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail(error);
    // A leftover of an earlier run may carry other permissions.
    bool written = ::fchmod(fd, 0600) == 0;
    for (qsizetype done = 0; written && done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        done += n > 0 ? n : 0;
    }
    written = written && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    errno = savedErrno;
    if (!written || ::rename(temporary.constData(), target.constData()) != 0) {
        const int cause = errno;
        ::unlink(temporary.constData());
        errno = cause;
        return fail(error);
    }
    return true;
}

} // namespace ks
