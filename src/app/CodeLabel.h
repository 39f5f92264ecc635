#pragma once

#include <QLabel>

namespace ks {

// A small clickable label of the settings panel that carries a code (its Tag). Highlighted
// means lime green; plain means the colour of its parent panel.
class CodeLabel : public QLabel {
    Q_OBJECT
public:
    CodeLabel(const QString& caption, const QRect& geometry, QWidget* parent);

    int Tag = 0;

    void setHighlighted(bool on);
    bool isHighlighted() const { return highlighted_; }

signals:
    void clicked(ks::CodeLabel* self);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    bool highlighted_ = false;
};

} // namespace ks
