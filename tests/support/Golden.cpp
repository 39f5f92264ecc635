#include "Golden.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

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
    // How often the group of size lines at i repeats in a row.
    auto repeats = [&](qsizetype i, qsizetype size) {
        qsizetype n = 1;
        while (i + (n + 1) * size <= lines.size() &&
               std::equal(lines.begin() + i, lines.begin() + i + size, lines.begin() + i + n * size))
            ++n;
        return n;
    };
    QList<QByteArray> out;
    for (qsizetype i = 0; i < lines.size();) {
        qsizetype size = 1, n = repeats(i, 1); // the shortest group that folds
        while (n * size < RepeatRun && size < RepeatGroup) n = repeats(i, ++size);
        if (n * size < RepeatRun) {
            out += lines[i++];
            continue;
        }
        out += lines.mid(i, size);
        out.last() += " [x" + QByteArray::number(n) +
                      (size > 1 ? ": " + QByteArray::number(size) + " lines]" : QByteArray("]"));
        i += n * size;
    }
    return out.join('\n');
}

QList<QByteArray> unfolded(const QList<QByteArray>& lines) {
    static const QRegularExpression run(QStringLiteral("^(.*) \\[x(\\d+)(?:: (\\d+) lines)?\\]$"));
    QList<QByteArray> out;
    for (const QByteArray& line : lines) {
        const QRegularExpressionMatch m = run.match(QString::fromUtf8(line));
        if (!m.hasMatch()) {
            out += line;
            continue;
        }
        out += m.captured(1).toUtf8();
        const qsizetype size =
            std::min<qsizetype>(m.captured(3).isEmpty() ? 1 : m.captured(3).toInt(), out.size());
        const QList<QByteArray> group = out.mid(out.size() - size);
        for (int n = m.captured(2).toInt(); n > 1; --n) out += group;
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
