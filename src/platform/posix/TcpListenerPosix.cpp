#include "platform/SocketCalls.h"
#include "platform/TcpListener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ks {

namespace {
QString systemMessage(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
} // namespace

bool TcpListener::listenAnyIPv4(quint16 port, int backlog, QString* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = systemMessage(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on,
                 sizeof on); // as Qt does: no wait after a restart
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        const int code = errno;
        *error = systemMessage(code);
        if (code == EADDRINUSE)
            *error += QStringLiteral("; see which program holds it: ss -ltnp 'sport = :%1'").arg(port);
        ::close(fd);
        return false;
    }
    if (!setSocketDescriptor(fd)) {
        *error = errorString();
        ::close(fd);
        return false;
    }
    return true;
}

} // namespace ks
