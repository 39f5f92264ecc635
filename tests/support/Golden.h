#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace ks::test {

// A golden case is a file of input beside NAME.expected in tests/golden/<folder>. Adds one
// data row per input file ending in inputSuffix, in name order, with the column "path".
void goldenRows(const char* folder, const char* inputSuffix);

// The expected file beside an input file.
QString expectedPath(const QString& inputPath);

// The file's lines without blank lines and '#' comments.
QList<QByteArray> scriptLines(const QString& path);

// True when actual is the expected file's content. Under KS_GOLDEN_RECORD=1 it writes the file
// instead (and is true): read the result before committing, it is the claim.
bool matchesGolden(const QByteArray& actual, const QString& expectedPath, QByteArray* expected);

// Bytes in a case line: \r \n \\ and \xHH for the other control and non-ASCII bytes.
QByteArray goldenEscape(const QByteArray& bytes);
QByteArray goldenUnescape(const QByteArray& text);

} // namespace ks::test

// Compares with the golden file line by line, so a difference shows its line.
#define KS_COMPARE_GOLDEN(actual, path)                                                          \
    do {                                                                                         \
        QByteArray ks_expected_;                                                                 \
        const QByteArray ks_actual_ = (actual);                                                  \
        if (!ks::test::matchesGolden(ks_actual_, (path), &ks_expected_))                         \
            QCOMPARE(ks_actual_.split('\n'), ks_expected_.split('\n'));                    \
    } while (false)
