#include "log/Log.h"

#include "platform/Ui.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenuBar>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace ks {

TLogFrm::TLogFrm(LogBook& book, QWidget* parent) : QDialog(parent), book_(book) {
    setWindowTitle(QStringLiteral("Korvat Server Log"));
    resize(502, 385);

    auto* menuBar = new QMenuBar(this);
    QMenu* menu = menuBar->addMenu(QStringLiteral("Log"));
    clear1_ = menu->addAction(QStringLiteral("Clear"));
    QAction* save1 = menu->addAction(QStringLiteral("Save"));
    menu->addSeparator();
    indicateClientType1_ = menu->addAction(QStringLiteral("Indicate Client Type"));
    indicateClientType1_->setCheckable(true);
    indicateClientType1_->setChecked(book_.IndicateClientType);
    debug1_ = menu->addAction(QStringLiteral("Show Debug"));
    debug1_->setCheckable(true);
    debug1_->setChecked(book_.ShowDebug);
    menu->addSeparator();
    QAction* close1 = menu->addAction(QStringLiteral("Close"));

    list_ = new QTreeView(this);
    list_->setModel(&book_.Model());
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    QFont listFont(QStringLiteral("Verdana"));
    listFont.setPixelSize(11);
    list_->setFont(listFont);
    list_->header()->setStretchLastSection(false);
    list_->setColumnWidth(LogModel::TimeColumn, 65);
    list_->setColumnWidth(LogModel::EventColumn, 125);
    list_->setColumnWidth(LogModel::DetailsColumn, 300);
    list_->setColumnHidden(LogModel::ColColumn, true);

    auto* strip = new QWidget(this);
    strip->setFixedHeight(41);
    auto* ok = new QPushButton(QStringLiteral("OK"), strip);
    ok->setDefault(true);
    auto* stripLayout = new QHBoxLayout(strip);
    stripLayout->addWidget(ok);
    stripLayout->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menuBar);
    layout->addWidget(list_);
    layout->addWidget(strip);

    // Scrolling lays the whole list out again: once for all the entries of a moment.
    scrollLater_.setSingleShot(true);
    scrollLater_.setInterval(ViewBatchMs);
    connect(&scrollLater_, &QTimer::timeout, list_, &QTreeView::scrollToBottom);
    connect(&book_.Model(), &LogModel::rowsInserted, &scrollLater_, [this] {
        if (!scrollLater_.isActive()) scrollLater_.start();
    });

    connect(clear1_, &QAction::triggered, this, [this] {
        list_->setUpdatesEnabled(false);
        book_.Model().clear();
        list_->setUpdatesEnabled(true);
    });
    connect(save1, &QAction::triggered, this, &TLogFrm::SaveLogCsvAndSay);
    connect(indicateClientType1_, &QAction::toggled, this,
            [this](bool on) { book_.IndicateClientType = on; });
    connect(debug1_, &QAction::toggled, this, [this](bool on) { book_.ShowDebug = on; });
    connect(close1, &QAction::triggered, this, &QWidget::hide);
    connect(ok, &QPushButton::clicked, this, &QWidget::hide);
}

void TLogFrm::SaveLogCsvAndSay() {
    QStringList errors;
    const QStringList saved = book_.SaveLogCsv(&errors);
    QStringList lines;
    for (const QString& path : saved) lines.append(QStringLiteral("Log saved to ") + path);
    lines += errors;
    showMessage(QStringLiteral("Korvat Server Log"), lines.join(QLatin1Char('\n')),
                errors.isEmpty() ? MessageIcon::Information : MessageIcon::Warning);
}

} // namespace ks
