#include "platform/SingleInstance.h"

#include "platform/Error.h"
#include "protocol/RuntimePaths.h"

#include <QLockFile>

namespace ks {

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() = default;

bool SingleInstance::acquire() {
    QString error;
    const QString folder = runtimeFolder(true, &error);
    if (folder.isEmpty()) throw Error(error);
    lock_ = std::make_unique<QLockFile>(folder + QStringLiteral("/kserver.lock"));
    // Held for the whole run, so age never makes it stale; a dead owner's pid does.
    lock_->setStaleLockTime(0);
    return lock_->tryLock(0);
}

} // namespace ks
