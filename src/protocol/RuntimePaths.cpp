#include "protocol/RuntimePaths.h"

#include <QDir>

namespace ks {

QString runtimeFolder() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::tempPath();
    return dir;
}

QString statusSocketPath() { return runtimeFolder() + QStringLiteral("/kserver.status"); }

} // namespace ks
