#pragma once

#include "log/LogBook.h"

#include <QDialog>
#include <QTimer>

class QAction;
class QTreeView;

namespace ks {

// The log window: the list of the log's entries, its menu and the two log options.
// Closing only hides it; entries keep being added while hidden.
class TLogFrm : public QDialog {
    Q_OBJECT
public:
    explicit TLogFrm(LogBook& book, QWidget* parent = nullptr);

    // "Log" > "Save": the log to each Logs/ folder, saying where it saved or why it could not.
    void SaveLogCsvAndSay();

    QTreeView* ListView() const { return list_; }
    QAction* Debug1() const { return debug1_; }
    QAction* Clear1() const { return clear1_; }

    // The list is scrolled to its newest entry at most this long after it was added.
    static constexpr int ViewBatchMs = 50;

private:
    LogBook& book_;
    QTimer scrollLater_;
    QTreeView* list_ = nullptr;
    QAction* clear1_ = nullptr;
    QAction* debug1_ = nullptr;
    QAction* indicateClientType1_ = nullptr;
};

} // namespace ks
