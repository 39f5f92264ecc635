#include "platform/NetworkPresence.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// Needs the socket headers before it.
#include <iphlpapi.h>

#include <vector>

namespace ks {

bool hasNetworkAddress() {
    // Kept between calls: this runs twice a second for months.
    static std::vector<unsigned char> buffer(16 * 1024);
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = ULONG(buffer.size());
    ULONG rc = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    if (rc == ERROR_BUFFER_OVERFLOW && size <= 1024 * 1024) {
        buffer.resize(size);
        rc = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc != ERROR_SUCCESS) return false;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const sockaddr* address = unicast->Address.lpSockaddr;
            if (!address || address->sa_family != AF_INET) continue;
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
            if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) return true;
        }
    }
    return false;
}

} // namespace ks
