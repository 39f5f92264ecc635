#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QList>

#include "protocol/CivilTime.h"

namespace ks {

// Entry types.
enum LogType : qint16 { LogAlert = 0, LogSuccess = 2, LogNotice = 4 };

struct LogEntry {
    QByteArray time; // "hh:nn:ss", local
    QByteArray event;
    QByteArray details;
    QByteArray col; // the type as decimal text
};

// The line an entry is mirrored as on stderr: "yyyy-mm-dd hh:nn:ss", type, event, details,
// joined by tabs, with backslash, CR, LF and tab in the details escaped. For the journal,
// which keeps its own date, the syslog priority prefix stands in for the date: "<3>" for
// alerts, "<5>" for notices, "<6>" for the rest, "<7>" for a diagnostic entry of any type.
QByteArray mirrorLine(const LogEntry& entry, const CivilTime& now, bool journal, bool diagnostic = false);

// The event log's rows: oldest first, at most 301 (the oldest goes only when more than
// 300 are present). Only the Details cell carries the type's colours.
class LogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { TimeColumn, EventColumn, DetailsColumn, ColColumn, ColumnCount };
    static constexpr int MaxBeforeAdd = 300;

    using QAbstractTableModel::QAbstractTableModel;

    void add(const LogEntry& entry);
    void clear();
    const QList<LogEntry>& entries() const { return entries_; }

    // The type a row is drawn as: its "col" text as a number, 0 when it is not one.
    static int drawnType(const QByteArray& col);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    static const char* const Captions[ColumnCount];

private:
    QList<LogEntry> entries_;
};

} // namespace ks
