#include "platform/Ui.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cstdlib>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ks {

bool isHeadless() {
    // A core application has no display at all.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return true;
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

namespace {
constexpr int FlushMs = 100;
constexpr qsizetype FlushBytes = 64 * 1024;

void writeAll(const QByteArray& out) {
    const char* p = out.constData();
    qsizetype left = out.size();
    while (left > 0) {
#ifdef Q_OS_WIN
        const int n = ::_write(2, p, unsigned(left));
#else
        const ssize_t n = ::write(STDERR_FILENO, p, size_t(left));
#endif
        if (n <= 0) return;
        p += n;
        left -= n;
    }
}

QByteArray& queuedLines() {
    static QByteArray lines;
    // Registered once the buffer exists, so it runs before the buffer goes.
    [[maybe_unused]] static const int registered = std::atexit(flushStderr);
    return lines;
}
} // namespace

void flushStderr() {
    QByteArray& lines = queuedLines();
    if (lines.isEmpty()) return;
    writeAll(lines);
    lines.clear();
}

void queueStderrLine(const QByteArray& line) {
    static QPointer<QTimer> timer;
    QByteArray& lines = queuedLines();
    lines += line;
    lines += '\n';
    if (lines.size() >= FlushBytes) {
        flushStderr();
        return;
    }
    if (!timer && QCoreApplication::instance()) {
        timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        timer->setInterval(FlushMs);
        QObject::connect(timer, &QTimer::timeout, [] { flushStderr(); });
    }
    if (!timer) {
        flushStderr();
    } else if (!timer->isActive()) {
        timer->start();
    }
}

void writeStderrLine(const QByteArray& line, int journalPriority) {
    const QByteArray prefix = journalPriority >= 0 && stderrIsJournal()
                                  ? '<' + QByteArray::number(journalPriority) + '>'
                                  : QByteArray();
    flushStderr();
    writeAll(prefix + line + '\n');
}

void showMessage(const QString& caption, const QString& text, MessageIcon icon) {
    if (isHeadless()) {
        writeStderrLine((caption + QStringLiteral(": ") + text).toLocal8Bit(),
                        icon == MessageIcon::Critical  ? 3
                        : icon == MessageIcon::Warning ? 4
                                                       : 6);
        return;
    }
    const QMessageBox::Icon kind = icon == MessageIcon::Critical  ? QMessageBox::Critical
                                   : icon == MessageIcon::Warning ? QMessageBox::Warning
                                                                  : QMessageBox::Information;
    // Before the main loop (a failed start) the box waits for its reader; from a handler it
    // is shown and the handler returns, so no loop ever runs inside another.
    if (QThread::currentThread()->loopLevel() == 0) {
        QMessageBox(kind, caption, text, QMessageBox::Ok).exec();
        return;
    }
    auto* box = new QMessageBox(kind, caption, text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
}

QString executableDir() { return QCoreApplication::applicationDirPath(); }

} // namespace ks
