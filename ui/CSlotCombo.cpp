#include "CSlotCombo.h"

#include <QLineEdit>

CSlotCombo::CSlotCombo(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setMaxVisibleItems(10);

    // QComboBox treats a field whose text matches an item as a choice of that item when
    // editing finishes. That is no choice from the list: the flag below, set before and
    // cleared after QComboBox's own handling, tells such an activation apart.
    auto* edit = new QLineEdit(this);
    connect(edit, &QLineEdit::editingFinished, this, [this] { m_inEditCommit = true; });
    setLineEdit(edit);
    setCompleter(nullptr);
    connect(edit, &QLineEdit::editingFinished, this, [this] { m_inEditCommit = false; });

    connect(edit, &QLineEdit::textEdited, this, [this] {
        m_curSel = -1;
        emit editChange();
    });
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (m_inEditCommit)
            return;
        m_curSel = index;
        emit selEndOk();
    });
}

void CSlotCombo::SetCurSel(int index) {
    if (index < 0 || index >= count()) {
        m_curSel = -1;
        setCurrentIndex(-1);
        if (lineEdit())
            lineEdit()->clear();
        return;
    }
    m_curSel = index;
    setCurrentIndex(index);
}
