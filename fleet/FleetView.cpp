#include "FleetView.h"

#include <QApplication>
#include <QBrush>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QPersistentModelIndex>

#include "FleetModel.h"

namespace vqx::fleet {

FleetView::FleetView(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::AnyKeyPressed);
    setSortingEnabled(true);
    setWordWrap(false);
    setAlternatingRowColors(true);
    verticalHeader()->setVisible(false);
    horizontalHeader()->setHighlightSections(false);
    setTabKeyNavigation(false); // Tab leaves the table: the window works by keyboard alone
}

void FleetView::keyPressEvent(QKeyEvent* event) {
    const auto mods = event->modifiers() & ~Qt::KeypadModifier;
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && mods == Qt::NoModifier && state() != EditingState) {
        QModelIndex current = currentIndex();
        if (current.isValid()) {
            if (FleetModel::plannedField(current.column()) < 0)
                current = current.siblingAtColumn(FleetModel::PlannedIp);
            setCurrentIndex(current);
            edit(current);
        }
        event->accept();
        return;
    }
    if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) &&
        mods == Qt::NoModifier && state() != EditingState) {
        emit clearRequested();
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        emit copyRequested();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

QWidget* PlannedDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                       const QModelIndex& index) const {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    auto* edit = qobject_cast<QLineEdit*>(editor);
    if (!edit)
        return editor;
    edit->setAccessibleName(index.model()->headerData(index.column(), Qt::Horizontal).toString());
    const QPersistentModelIndex at(index);
    connect(edit, &QLineEdit::textEdited, this, [this, edit, at] {
        // Each keystroke goes to the model, whose check marks the value at once.
        emit const_cast<PlannedDelegate*>(this)->commitData(edit);
        if (at.isValid())
            showMark(edit, at);
    });
    return editor;
}

void PlannedDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    auto* edit = qobject_cast<QLineEdit*>(editor);
    if (!edit) {
        QStyledItemDelegate::setEditorData(editor, index);
        return;
    }
    // The model keeps the text trimmed: an editor whose text means the same keeps its
    // cursor (the model announces changes while the user types).
    const QString text = index.data(Qt::EditRole).toString();
    if (edit->text().trimmed() != text)
        edit->setText(text);
    showMark(edit, index);
}

void PlannedDelegate::showMark(QWidget* editor, const QModelIndex& index) const {
    const bool marked = index.data(FleetModel::MarkedRole).toBool();
    const QString why = index.data(Qt::ToolTipRole).toString();
    editor->setToolTip(why);
    editor->setAccessibleDescription(why);
    // The editor takes the cell's own mark colour (the model's), through its palette.
    QPalette palette = QApplication::palette(editor);
    const QVariant background = index.data(Qt::BackgroundRole);
    if (marked && background.canConvert<QBrush>())
        palette.setBrush(QPalette::Base, background.value<QBrush>());
    editor->setPalette(palette);
}

} // namespace vqx::fleet
