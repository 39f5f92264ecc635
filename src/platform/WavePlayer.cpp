#include "platform/WavePlayer.h"

#include "platform/Ui.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>

namespace ks {

namespace {
std::atomic<WavePlayerFn> player{nullptr};
}

void installWavePlayer(WavePlayerFn p) { player = p; }

void playWave(const QString& path) {
    const WavePlayerFn p = player;
    (p ? p : playWaveSync)(path);
}

QString findSoundFile(const QString& name) {
    // As a bare file name would be found: the current folder first. Then beside the
    // executable (a build tree) and the installed data folder.
    for (const QString& dir : {QDir::currentPath(), executableDir(),
                               executableDir() + QStringLiteral("/../share/korvat-server")}) {
        const QString candidate = dir + QLatin1Char('/') + name;
        if (QFileInfo::exists(candidate)) return candidate;
    }
    return {};
}

} // namespace ks
