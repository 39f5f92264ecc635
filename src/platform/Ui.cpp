#include "platform/Ui.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <unistd.h>

namespace ks {

bool isHeadless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void writeStderrLine(const QByteArray& line) {
    const QByteArray out = line + '\n';
    const char* p = out.constData();
    qsizetype left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, size_t(left));
        if (n <= 0) return;
        p += n;
        left -= n;
    }
}

void showMessage(const QString& caption, const QString& text, MessageIcon icon) {
    if (isHeadless()) {
        const QByteArray priority = !stderrIsJournal()               ? QByteArray()
                                    : icon == MessageIcon::Critical ? QByteArray("<3>")
                                    : icon == MessageIcon::Warning  ? QByteArray("<4>")
                                                                    : QByteArray("<6>");
        writeStderrLine(priority + (caption + QStringLiteral(": ") + text).toLocal8Bit());
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
