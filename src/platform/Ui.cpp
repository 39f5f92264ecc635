#include "platform/Ui.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ks {

bool isHeadless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void writeStderrLine(const QByteArray& line, int journalPriority) {
    const QByteArray prefix = journalPriority >= 0 && stderrIsJournal()
                                  ? '<' + QByteArray::number(journalPriority) + '>'
                                  : QByteArray();
    const QByteArray out = prefix + line + '\n';
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

void showMessage(const QString& caption, const QString& text, MessageIcon icon) {
    if (isHeadless()) {
        writeStderrLine((caption + QStringLiteral(": ") + text).toLocal8Bit(),
                        icon == MessageIcon::Critical  ? 3
                        : icon == MessageIcon::Warning ? 4
                                                       : 6);
        return;
    }
    QMessageBox box(icon == MessageIcon::Critical  ? QMessageBox::Critical
                    : icon == MessageIcon::Warning ? QMessageBox::Warning
                                                   : QMessageBox::Information,
                    caption, text, QMessageBox::Ok);
    box.exec();
}

QString executableDir() { return QCoreApplication::applicationDirPath(); }

} // namespace ks
