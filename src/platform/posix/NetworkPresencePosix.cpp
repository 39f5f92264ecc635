#include "platform/NetworkPresence.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <vector>

namespace ks {

// The interface list through one socket kept open, rather than getifaddrs: this runs twice
// a second for months, and a netlink dump of every link and address costs ten times more.
bool hasNetworkAddress() {
    static int fd = -1;
    if (fd < 0) fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); // again after a failure
    if (fd < 0) return false;
    // SIOCGIFCONF lists the interfaces that have an IPv4 address; a full buffer may have cut
    // the list short, so it grows until the list fits. Most machines have a handful, so the
    // first try needs no allocation.
    std::array<ifreq, 16> few;
    std::vector<ifreq> many;
    ifreq* entries = few.data();
    size_t capacity = few.size();
    ifconf conf{};
    for (;;) {
        conf.ifc_len = int(capacity * sizeof(ifreq));
        conf.ifc_req = entries;
        if (::ioctl(fd, SIOCGIFCONF, &conf) != 0) return false;
        if (size_t(conf.ifc_len) < capacity * sizeof(ifreq) || capacity >= 4096) break;
        many.resize(capacity * 2);
        entries = many.data();
        capacity = many.size();
    }
    for (size_t i = 0; i < size_t(conf.ifc_len) / sizeof(ifreq); ++i) {
        const ifreq& entry = entries[i];
        if (entry.ifr_addr.sa_family != AF_INET) continue;
        sockaddr_in address{};
        std::memcpy(&address, &entry.ifr_addr, sizeof address);
        if ((ntohl(address.sin_addr.s_addr) >> 24) == 127) continue;
        ifreq flags{};
        std::memcpy(flags.ifr_name, entry.ifr_name, IFNAMSIZ);
        if (::ioctl(fd, SIOCGIFFLAGS, &flags) != 0) continue;
        if ((flags.ifr_flags & IFF_UP) && (flags.ifr_flags & IFF_RUNNING) &&
            !(flags.ifr_flags & IFF_LOOPBACK))
            return true;
    }
    return false;
}

} // namespace ks
