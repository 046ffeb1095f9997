#include "FillDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "NetworkRecord.h"

namespace vqx::fleet {

FillDialog::FillDialog(int rows, std::uint32_t start, std::uint32_t mask, std::uint32_t gateway,
                       QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Fill"));
    auto* layout = new QVBoxLayout(this);
    auto* note =
        new QLabel(QStringLiteral("Plans %1 row(s): consecutive IPs from the start address, in the "
                                  "table's order, and one mask and gateway for all.")
                       .arg(rows),
                   this);
    note->setWordWrap(true);
    layout->addWidget(note);
    auto* form = new QFormLayout;
    const auto field = [this, form](const QString& label, const QString& name,
                                    std::uint32_t value) {
        auto* edit = new QLineEdit(formatAddress(value), this);
        edit->setObjectName(name);
        edit->setAccessibleName(QString(label).remove(QLatin1Char('&')).remove(QLatin1Char(':')));
        connect(edit, &QLineEdit::textChanged, this, &FillDialog::check);
        form->addRow(label, edit);
        return edit;
    };
    m_start = field(QStringLiteral("&Start IP:"), QStringLiteral("fillStart"), start);
    m_mask = field(QStringLiteral("&Mask:"), QStringLiteral("fillMask"), mask);
    m_gateway = field(QStringLiteral("&Gateway:"), QStringLiteral("fillGateway"), gateway);
    layout->addLayout(form);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(m_buttons);
    check();
}

void FillDialog::check() {
    bool ok = true;
    for (QLineEdit* edit : {m_start, m_mask, m_gateway}) {
        const bool good = parseAddress(edit->text().trimmed()).has_value();
        edit->setToolTip(good ? QString() : QStringLiteral("not a dotted IPv4 address"));
        ok = ok && good;
    }
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(ok);
}

std::uint32_t FillDialog::start() const {
    return parseAddress(m_start->text().trimmed()).value_or(0);
}

std::uint32_t FillDialog::mask() const {
    return parseAddress(m_mask->text().trimmed()).value_or(0);
}

std::uint32_t FillDialog::gateway() const {
    return parseAddress(m_gateway->text().trimmed()).value_or(0);
}

} // namespace vqx::fleet
