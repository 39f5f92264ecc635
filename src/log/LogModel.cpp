#include "log/LogModel.h"

#include "protocol/DateFormat.h"

#include <QBrush>
#include <QColor>

namespace ks {

QByteArray mirrorLine(const LogEntry& entry, const CivilTime& now, bool journal, bool diagnostic) {
    QByteArray flat = entry.details;
    flat.replace('\\', "\\\\").replace('\r', "\\r").replace('\n', "\\n").replace('\t', "\\t");
    QByteArray line;
    if (journal) {
        const int type = LogModel::drawnType(entry.col);
        line = diagnostic ? "<7>" : type == LogAlert ? "<3>" : type == LogNotice ? "<5>" : "<6>";
        line += formatDateTime("hh:nn:ss", now);
    } else {
        line = formatDateTime("yyyy-mm-dd hh:nn:ss", now);
    }
    return line + '\t' + entry.col + '\t' + entry.event + '\t' + flat;
}

const char* const LogModel::Captions[ColumnCount] = {"Time", "Event", "Details", "col"};

void LogModel::add(const LogEntry& entry) {
    if (entries_.size() > MaxBeforeAdd) {
        beginRemoveRows({}, 0, 0);
        entries_.removeFirst();
        endRemoveRows();
    }
    beginInsertRows({}, int(entries_.size()), int(entries_.size()));
    entries_.append(entry);
    endInsertRows();
}

void LogModel::clear() {
    if (entries_.isEmpty()) return;
    beginResetModel();
    entries_.clear();
    endResetModel();
}

int LogModel::drawnType(const QByteArray& col) {
    bool ok = false;
    const int type = col.toInt(&ok);
    return ok ? type : 0;
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(entries_.size());
}

int LogModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= entries_.size()) return {};
    const LogEntry& e = entries_[index.row()];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case TimeColumn: return QString::fromLocal8Bit(e.time);
        case EventColumn: return QString::fromLocal8Bit(e.event);
        case DetailsColumn: return QString::fromLocal8Bit(e.details);
        case ColColumn: return QString::fromLocal8Bit(e.col);
        default: return {};
        }
    }
    if (index.column() != DetailsColumn) return {};
    const int type = drawnType(e.col);
    if (role == Qt::BackgroundRole) {
        switch (type) {
        case LogAlert: return QBrush(QColor(255, 0, 0));
        case LogSuccess: return QBrush(QColor(0, 255, 0));
        case LogNotice: return QBrush(QColor(255, 255, 0));
        default: return {};
        }
    }
    if (role == Qt::ForegroundRole && type == LogAlert) return QBrush(QColor(255, 255, 255));
    return {};
}

QVariant LogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QString::fromLatin1(Captions[section]);
    return {};
}

} // namespace ks
