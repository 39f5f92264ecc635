#include "Golden.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace ks::test {

void goldenRows(const char* folder, const char* inputSuffix) {
    QTest::addColumn<QString>("path");
    const QDir dir(QStringLiteral(KS_SOURCE_DIR "/tests/golden/") + QLatin1String(folder));
    const QString suffix = QLatin1String(inputSuffix);
    for (const QString& name : dir.entryList({QLatin1Char('*') + suffix}, QDir::Files, QDir::Name))
        QTest::newRow(qPrintable(name.chopped(suffix.size()))) << dir.filePath(name);
}

QString expectedPath(const QString& inputPath) {
    return inputPath.left(inputPath.lastIndexOf(QLatin1Char('.'))) + QStringLiteral(".expected");
}

QList<QByteArray> scriptLines(const QString& path) {
    QFile f(path);
    QList<QByteArray> lines;
    if (!f.open(QIODevice::ReadOnly)) return lines;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty() && !line.startsWith('#')) lines.append(line);
    return lines;
}

QByteArray caseBytes(const QByteArray& text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = i + 1 < text.size() && text[i] == '\\' ? text[++i] : 0;
        if (c == 'x') {
            out += char(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else out += c == 'r' ? '\r' : c == 'n' ? '\n' : c ? c : text[i];
    }
    return out;
}

QByteArray caseText(const QByteArray& bytes) {
    QByteArray out;
    for (const char c : bytes) {
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (uchar(c) < 0x20 || uchar(c) >= 0x7f)
            out += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        else out += c;
    }
    return out;
}

QByteArray goldenText(const QByteArray& actual) {
    // The version alone ("V2.01" too), not a figure it happens to begin or end.
    static const QRegularExpression version(QStringLiteral("(?<![\\d.])") +
                                            QRegularExpression::escape(QStringLiteral(KS_VERSION)) +
                                            QStringLiteral("(?![\\d])"));
    const QList<QByteArray> lines =
        QString::fromUtf8(actual).replace(version, QStringLiteral("VERSION")).toUtf8().split('\n');
    QList<QByteArray> out;
    for (qsizetype i = 0, n = 1; i < lines.size(); i += n) {
        for (n = 1; i + n < lines.size() && lines[i + n] == lines[i];) ++n;
        if (n >= RepeatRun) out += lines[i] + " [x" + QByteArray::number(n) + ']';
        else out += lines.mid(i, n);
    }
    return out.join('\n');
}

QList<QByteArray> unfolded(const QList<QByteArray>& lines) {
    static const QRegularExpression run(QStringLiteral("^(.*) \\[x(\\d+)\\]$"));
    QList<QByteArray> out;
    for (const QByteArray& line : lines) {
        const QRegularExpressionMatch m = run.match(QString::fromUtf8(line));
        for (int n = m.hasMatch() ? m.captured(2).toInt() : 1; n > 0; --n)
            out += m.hasMatch() ? m.captured(1).toUtf8() : line;
    }
    return out;
}

QByteArray unknownCommand(const QByteArray& line) { return "unknown command: " + line; }

QList<QByteArray> expectedLines(const QByteArray& actual, const QString& expectedPath) {
    QFile f(expectedPath); // unreadable or unwritten: no lines, which nothing matches
    if (!qEnvironmentVariableIsSet("KS_GOLDEN_RECORD"))
        return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>();
    const bool written = f.open(QIODevice::WriteOnly) && f.write(actual) == actual.size();
    return written ? actual.split('\n') : QList<QByteArray>();
}

} // namespace ks::test
