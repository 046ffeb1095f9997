#pragma once
// An IPv4 address entry made of four octet fields, in the manner of the Windows
// IP-address control.
//
// Keyboard behaviour:
//   - only digits are taken; a field holds up to three of them and at most 255 (a larger
//     value is clamped to 255 when it is completed);
//   - a third digit, or a dot (or a blank) typed after at least one digit, moves to the next
//     field and selects its text;
//   - Backspace at the start of a field, and Left at the start, move to the end of the
//     previous field; Right at the end of a field moves to the start of the next one;
//   - pasting text that contains a dot fills all four fields from the dotted address
//     (missing or non-numeric parts become blank); pasting digits only goes into the field;
//   - Tab and Shift+Tab leave the control as a whole: the control is one tab stop, and
//     entering it by keyboard lands in the first field.
// A blank field reads as 0. Enabling or disabling the control acts on all four fields.

#include <array>
#include <cstdint>

#include <QWidget>

class QLineEdit;

class CIPAddressCtrl : public QWidget {
    Q_OBJECT
public:
    explicit CIPAddressCtrl(QWidget* parent = nullptr);

    /// Sets all four fields from the packed form: the first field from bits 24..31.
    void SetAddress(std::uint32_t packed);
    void SetAddress(std::uint8_t f0, std::uint8_t f1, std::uint8_t f2, std::uint8_t f3);
    /// The packed address (blank fields read as 0). Returns the number of non-blank fields.
    int GetAddress(std::uint32_t& packed) const;
    /// The four fields, first field first (blank fields read as 0). Returns the number of
    /// non-blank fields.
    int GetAddress(std::uint8_t& f0, std::uint8_t& f1, std::uint8_t& f2, std::uint8_t& f3) const;
    /// Convenience: the packed address, blank fields as 0.
    std::uint32_t address() const;
    /// Empties all four fields.
    void ClearAddress();
    /// True when all four fields are blank.
    bool IsBlank() const;
    /// The dotted text as shown, blank fields as empty parts ("10..0.5").
    QString text() const;

    /// The edit of field 0..3 (for tests and accessibility tools).
    QLineEdit* field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }
    /// Names the control for screen readers and UI automation ("IP"), and each field by its
    /// place ("IP, octet 1" to "IP, octet 4").
    void SetAccessibleNames(const QString& name);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    /// Any field's text changed, by the user or by SetAddress/ClearAddress.
    void addressChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int indexOf(QObject* watched) const;
    void moveTo(int index, bool selectAll, bool atEnd);
    void clampField(int index);
    void pasteText(int index, const QString& raw);
    bool leaveControl(bool forward);
    void layoutFields();

    std::array<QLineEdit*, 4> m_fields{};
};
