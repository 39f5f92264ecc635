#include "platform/SingleInstance.h"

#include "protocol/RuntimePaths.h"

#include <QLockFile>

namespace ks {

SingleInstance::SingleInstance()
    : lock_(std::make_unique<QLockFile>(runtimeFolder() + QStringLiteral("/kserver.lock"))) {
    // Held for the whole run, so age never makes it stale; a dead owner's pid does.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::acquire() { return lock_->tryLock(0); }

} // namespace ks
