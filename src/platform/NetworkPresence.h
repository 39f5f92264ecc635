#pragma once

namespace ks {

// True when an interface that is up and running has an IPv4 address other than loopback.
bool hasNetworkAddress();

} // namespace ks
