#pragma once

#include <QString>

namespace ks {

// Plays a wave file to its end (blocking the calling thread); when the file is missing or
// cannot be played, the desktop theme's bell instead. Failures are silent.
void playWaveSync(const QString& path);

// Replaces the player (tests count chimes with it); nullptr restores the real one.
using WavePlayerFn = void (*)(const QString& path);
void installWavePlayer(WavePlayerFn player);
// Plays through the installed player.
void playWave(const QString& path);

// Where "hour.wav" is looked up: in the current folder, beside the executable, then in
// ../share/korvat-server from it. Empty when it is in none of them.
QString findSoundFile(const QString& name);

} // namespace ks
