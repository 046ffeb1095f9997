#pragma once
// "Fill...": plans the selected rows in one step, consecutive IPs from a start address and
// one mask and gateway for all.

#include <cstdint>

#include <QDialog>

class QDialogButtonBox;
class QLineEdit;

namespace vqx::fleet {

class FillDialog : public QDialog {
    Q_OBJECT
public:
    FillDialog(int rows, std::uint32_t start, std::uint32_t mask, std::uint32_t gateway,
               QWidget* parent = nullptr);

    std::uint32_t start() const;
    std::uint32_t mask() const;
    std::uint32_t gateway() const;

private:
    void check();

    QLineEdit* m_start = nullptr;
    QLineEdit* m_mask = nullptr;
    QLineEdit* m_gateway = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

} // namespace vqx::fleet
