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

// A case line's bytes: \r \n \\ and \xHH stand for the bytes they name.
QByteArray caseBytes(const QByteArray& text);
// Bytes written the same way, so that any byte shows on a line of its own file.
QByteArray caseText(const QByteArray& bytes);

// The expected file's lines. Under KS_GOLDEN_RECORD=1 it writes actual there first: read the
// result before committing, it is the claim.
QList<QByteArray> expectedLines(const QByteArray& actual, const QString& expectedPath);

} // namespace ks::test

// Compares with the golden file line by line, so a difference shows its line.
#define KS_COMPARE_GOLDEN(actual, path)                                                          \
    do {                                                                                         \
        const QByteArray ks_actual_ = (actual);                                                  \
        QCOMPARE(ks_actual_.split('\n'), ks::test::expectedLines(ks_actual_, (path)));           \
    } while (false)
