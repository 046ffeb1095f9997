#include "CAboutBox.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "DialogUnits.h"

#ifndef VQX_BUILD_YEAR
#define VQX_BUILD_YEAR 2026
#endif

const QString CAboutBox::kCaption = QStringLiteral("О программе VQX250_IPConfig");
const QString CAboutBox::kDescription = QStringLiteral("Конфигуратор параметров Ethernet");

QString CAboutBox::YearLine() {
    return QStringLiteral("Copyright (C) %1").arg(VQX_BUILD_YEAR);
}

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle(kCaption);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
#ifdef Q_OS_WIN
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
#endif
    setModal(true);
    const QFont f = font();
    using vqx::ui::growToText;
    using vqx::ui::mapDialogRect;
    using vqx::ui::textWidth;

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    const QRect iconRect = mapDialogRect(f, 11, 17, 21, 20);
    icon->setGeometry(iconRect);
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    icon->setPixmap(QIcon(QStringLiteral(":/vqx/icons/vqx250-ipconfig-32.png")).pixmap(32, 32));

    auto* description = new QLabel(kDescription, this);
    description->setObjectName(QStringLiteral("aboutDescription"));
    description->setTextFormat(Qt::PlainText);
    description->setGeometry(mapDialogRect(f, 40, 10, 119, 8));
    growToText(description, textWidth(description, kDescription)); // Cyrillic runs wider

    auto* year = new QLabel(YearLine(), this);
    year->setObjectName(QStringLiteral("aboutYear"));
    year->setTextFormat(Qt::PlainText);
    year->setGeometry(mapDialogRect(f, 40, 25, 156, 8));
    growToText(year, textWidth(year, year->text()));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(mapDialogRect(f, 178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // A description grown up to OK moves OK, and the box's right edge, to the right.
    QSize size = mapDialogRect(f, 0, 0, 235, 55).size();
    const int gap = mapDialogRect(f, 0, 0, 4, 0).width();
    if (const int push = description->geometry().right() + 1 + gap - ok->x(); push > 0) {
        ok->move(ok->x() + push, ok->y());
        size.rwidth() += push;
    }
    setFixedSize(size);
}
