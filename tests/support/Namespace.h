#pragma once

#include <QString>

namespace ks::test {

// Benchmarks that open fixed ports, multicast or have the clock set run only inside the
// private namespace: unless already there, this re-runs the program through tests/netns-run
// and does not return; it returns false when that could not be started.
bool ensurePrivateNamespace(int argc, char* argv[]);

// Runs `ip ARGS` (inside the private namespace only); true when it succeeded.
bool ip(const QString& args);

} // namespace ks::test
