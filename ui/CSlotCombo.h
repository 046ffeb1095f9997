#pragma once
// The slot selector: a drop-down combo box with an editable field, in the manner of the
// Windows CBS_DROPDOWN combo box.
//
// Its selection (GetCurSel) is the item last chosen from the list, by mouse or keyboard.
// Typing into the field selects nothing and clears the selection (GetCurSel() == -1), as an
// edited field of the Windows control has no list selection; text that happens to match an
// item does not select it either. Neither inline completion nor insertion of typed text
// takes place.
//
// Notifications: selEndOk() when the user has chosen an item (also the one already chosen),
// editChange() when the user has edited the field.

#include <QComboBox>

class CSlotCombo : public QComboBox {
    Q_OBJECT
public:
    explicit CSlotCombo(QWidget* parent = nullptr);

    /// Index of the selection, -1 when there is none.
    int GetCurSel() const { return m_curSel; }
    /// Selects an item, or clears the selection and empties the field with -1.
    void SetCurSel(int index);

signals:
    void selEndOk();
    void editChange();

private:
    int m_curSel = -1;
    bool m_inEditCommit = false;
};
