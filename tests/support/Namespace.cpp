#include "Namespace.h"

#include <QByteArray>
#include <QProcess>

#include <unistd.h>

#include <cstdio>
#include <vector>

namespace ks::test {

bool ensurePrivateNamespace(int argc, char* argv[]) {
    if (!qEnvironmentVariableIsEmpty("KS_IN_NETNS")) return true;
    std::vector<char*> args{const_cast<char*>(KS_SOURCE_DIR "/tests/netns-run")};
    for (int i = 0; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::perror("tests/netns-run");
    return false;
}

bool ip(const QString& args) {
    return QProcess::execute(QStringLiteral("ip"), args.split(QLatin1Char(' '))) == 0;
}

} // namespace ks::test
