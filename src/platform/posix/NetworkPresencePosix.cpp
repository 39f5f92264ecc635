#include "platform/NetworkPresence.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace ks {

// getifaddrs rather than QNetworkInterface: this runs twice a second for months, and the
// direct call costs a fraction of building Qt's interface objects.
bool hasNetworkAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool present = false;
    for (const ifaddrs* i = list; i && !present; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || !(i->ifa_flags & IFF_RUNNING) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        present = (ntohl(in->sin_addr.s_addr) >> 24) != 127;
    }
    freeifaddrs(list);
    return present;
}

} // namespace ks
