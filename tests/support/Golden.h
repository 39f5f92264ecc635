#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <map>

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

// What a golden file holds for the text a case gave: the build's version shows as VERSION (a
// version bump changes no golden file), and a run of RepeatRun or more equal lines as the line
// once followed by " [xN]"; a group of up to RepeatGroup lines repeated over RepeatRun or more
// lines as the group once, its last line followed by " [xN: K lines]" (the shortest group).
constexpr int RepeatRun = 10;
constexpr int RepeatGroup = 4;
QByteArray goldenText(const QByteArray& actual);
// A golden file's lines with each run written out again, as the case gave them.
QList<QByteArray> unfolded(const QList<QByteArray>& lines);

// The expected file's lines. Under KS_GOLDEN_RECORD=1 it writes actual there first: read the
// result before committing, it is the claim.
QList<QByteArray> expectedLines(const QByteArray& actual, const QString& expectedPath);

// A runner's commands, one table: the first word of a script line names its command, the rest is
// its argument. A line no entry names fails the case: nothing of it is sent or recorded.
template <typename Handler> class Commands {
public:
    Commands(std::initializer_list<std::pair<const QByteArray, Handler>> table) : table_(table) {}
    static QByteArray name(const QByteArray& line) {
        const qsizetype space = line.indexOf(' ');
        return space < 0 ? line : line.left(space);
    }
    static QByteArray argument(const QByteArray& line) {
        const qsizetype space = line.indexOf(' ');
        return space < 0 ? QByteArray() : line.mid(space + 1);
    }
    // The command the line names, or nullptr.
    const Handler* find(const QByteArray& line) const {
        const auto it = table_.find(name(line));
        return it == table_.end() ? nullptr : &it->second;
    }

private:
    std::map<QByteArray, Handler> table_;
};
// How a runner reports a line no command of its table names.
QByteArray unknownCommand(const QByteArray& line);

} // namespace ks::test

// Compares with the golden file line by line, so a difference shows its line.
#define KS_COMPARE_GOLDEN(actual, path)                                                                      \
    do {                                                                                                     \
        const QByteArray ks_actual_ = ks::test::goldenText(actual);                                          \
        QCOMPARE(ks_actual_.split('\n'), ks::test::expectedLines(ks_actual_, (path)));                       \
    } while (false)
