#pragma once
// The about box (template 100): the icon, "Конфигуратор параметров Ethernet", the year line
// and OK. It has no state; OK, Escape and the close box end it. A text wider than its
// template width (the Cyrillic line in many fonts) widens its label, and OK and the box move
// aside when the label would reach OK.

#include <QDialog>

class CAboutBox : public QDialog {
    Q_OBJECT
public:
    static const QString kCaption;
    static const QString kDescription;
    /// "Copyright (C) <year of the build>".
    static QString YearLine();

    explicit CAboutBox(QWidget* parent = nullptr);
};
