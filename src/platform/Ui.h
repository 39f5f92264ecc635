#pragma once

#include <QString>

namespace ks {

enum class MessageIcon { Information, Warning, Critical };

// True when there is no display (a core application, or the off-screen or minimal platform):
// nobody could dismiss a box or click an icon, so texts go to stderr instead.
bool isHeadless();

// A message box: before the main loop runs it waits to be dismissed; from a handler it is
// shown and the call returns at once. Headless, the text goes to stderr as "caption: text".
void showMessage(const QString& caption, const QString& text, MessageIcon icon);

// True when stderr is the systemd journal (JOURNAL_STREAM names its device and inode): lines
// may then start with a syslog priority prefix ("<3>").
bool stderrIsJournal();

// Windows: a program without a console of its own writes its start line and log into the
// console of whoever started it (a command prompt, a script), and Ctrl-C there ends it. Call
// first thing in main. Streams the starter redirected to a file or pipe stay as they are.
// Elsewhere nothing to do.
void attachParentConsole();

// Writes one line to stderr at once (after any queued lines), adding the line end. With a
// syslog priority (0-7) the line starts with its prefix ("<6>") when stderr is the journal.
void writeStderrLine(const QByteArray& line, int journalPriority = -1);

// Queues one line for stderr, adding the line end. Queued lines go out together at least
// every 100 ms, when they reach 64 KiB, before a line written at once, and at exit: one
// write each would cost more than the rest of a log entry at thousands a second. GUI
// thread only.
void queueStderrLine(const QByteArray& line);
// Writes the queued lines now.
void flushStderr();

// The folder of the running executable: Logs/ is beside it, and hour.wav is looked for there.
QString executableDir();

} // namespace ks
