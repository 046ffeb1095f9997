#pragma once
// The fleet window's table: rows selected whole, several at once; Enter on a row edits its
// planned values (the planned cell under the cursor, else the planned IP), Delete clears the
// planned values of the selected rows, Ctrl+C copies the selected rows as CSV. Planned values
// are checked as they are typed: the editor shows the mark and the reason as the cell will.

#include <QStyledItemDelegate>
#include <QTableView>

namespace vqx::fleet {

class FleetView : public QTableView {
    Q_OBJECT
public:
    explicit FleetView(QWidget* parent = nullptr);

signals:
    void clearRequested();
    void copyRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

/// The editor of a planned cell: a line edit whose every keystroke reaches the model, so
/// that the marks follow the typing.
class PlannedDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;

private:
    void showMark(QWidget* editor, const QModelIndex& index) const;
};

} // namespace vqx::fleet
