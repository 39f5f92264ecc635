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
    // Beside the executable (a build tree), the installed data folder, then the current folder.
    for (const QString& dir : {executableDir(), executableDir() + QStringLiteral("/../share/korvat-server"),
                               QDir::currentPath()}) {
        const QString candidate = dir + QLatin1Char('/') + name;
        if (QFileInfo::exists(candidate)) return candidate;
    }
    return {};
}

} // namespace ks
