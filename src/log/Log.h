#pragma once

#include "log/LogModel.h"

#include <QDialog>
#include <QTimer>

class QAction;
class QTreeView;

namespace ks {

// The log window: the list of entries, its menu and the two log options.
// Closing only hides it; entries keep being added while hidden.
class TLogFrm : public QDialog {
    Q_OBJECT
public:
    explicit TLogFrm(QWidget* parent = nullptr);

    const LogEntry& AddEntry(qint16 type, const QByteArray& event, const QByteArray& details);

    bool ShowDebug() const;
    bool IndicateClientType() const;

    // Writes the whole log to each Logs/ folder there is (see logCsvDirs); silent on failure.
    void SaveLogCsv();
    // "Log" > "Save": the same, saying where it saved or why it could not.
    void SaveLogCsvAndSay();

    LogModel& Model() { return model_; }
    QTreeView* ListView() const { return list_; }
    QAction* Debug1() const { return debug1_; }
    QAction* Clear1() const { return clear1_; }

    // The list is scrolled to its newest entry at most this long after it was added.
    static constexpr int ViewBatchMs = 50;

private:
    LogModel model_;
    QTimer scrollLater_;
    QTreeView* list_ = nullptr;
    QAction* clear1_ = nullptr;
    QAction* debug1_ = nullptr;
    QAction* indicateClientType1_ = nullptr;
};

} // namespace ks
