#include "platform/SingleInstance.h"

#include <QDir>
#include <QLockFile>

namespace ks {

namespace {
QString lockPath() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::tempPath();
    return dir + QStringLiteral("/kserver.lock");
}
} // namespace

SingleInstance::SingleInstance() : lock_(std::make_unique<QLockFile>(lockPath())) {
    // Held for the whole run, so age never makes it stale; a dead owner's pid does.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::acquire() { return lock_->tryLock(0); }

} // namespace ks
