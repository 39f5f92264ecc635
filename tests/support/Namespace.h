#pragma once

#include <QProcess>

#include <unistd.h>

#include <cstdio>
#include <vector>

namespace ks::test {

// Benchmarks that open fixed ports, multicast or have the clock set run only inside the
// private namespace: unless already there, this re-runs the program through tests/netns-run
// and does not return; it returns false when that could not be started.
inline bool ensurePrivateNamespace(int argc, char* argv[]) {
    if (!qEnvironmentVariableIsEmpty("KS_IN_NETNS")) return true;
    std::vector<char*> args{const_cast<char*>(KS_SOURCE_DIR "/tests/netns-run")};
    args.insert(args.end(), argv, argv + argc + 1); // with argv[argc], the null that ends it
    ::execv(args[0], args.data());
    std::perror("tests/netns-run");
    return false;
}

// Runs `ip ARGS` (inside the private namespace only); true when it succeeded.
inline bool ip(const QString& args) {
    return QProcess::execute(QStringLiteral("ip"), args.split(QLatin1Char(' '))) == 0;
}

} // namespace ks::test
