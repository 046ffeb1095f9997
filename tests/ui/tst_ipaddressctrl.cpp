// Keyboard and value behaviour of the IP-address control.

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "CIPAddressCtrl.h"

class TestIpAddressCtrl : public QObject {
    Q_OBJECT

    QWidget* m_window = nullptr;
    CIPAddressCtrl* m_a = nullptr;
    QPushButton* m_button = nullptr;
    CIPAddressCtrl* m_b = nullptr;

    static QWidget* focus() { return QApplication::focusWidget(); }
    static void type(const QString& keys) {
        for (QChar c : keys)
            QTest::keyClick(focus(), c.toLatin1());
    }
    static void key(Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QTest::keyClick(focus(), k, m);
    }

private slots:
    void init() {
        m_window = new QWidget;
        auto* layout = new QVBoxLayout(m_window);
        m_a = new CIPAddressCtrl(m_window);
        m_button = new QPushButton(QStringLiteral("Between"), m_window);
        m_b = new CIPAddressCtrl(m_window);
        layout->addWidget(m_a);
        layout->addWidget(m_button);
        layout->addWidget(m_b);
        m_window->show();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_a->setFocus();
        QCOMPARE(focus(), m_a->field(0));
    }
    void cleanup() {
        delete m_window;
        m_window = nullptr;
    }

    void packedValues_data() {
        QTest::addColumn<quint32>("packed");
        QTest::addColumn<QString>("text");
        QTest::newRow("private") << quint32(0xC0A80114) << QStringLiteral("192.168.1.20");
        QTest::newRow("zero") << quint32(0) << QStringLiteral("0.0.0.0");
        QTest::newRow("all ones") << quint32(0xFFFFFFFF) << QStringLiteral("255.255.255.255");
        QTest::newRow("default") << quint32(0x0A000064) << QStringLiteral("10.0.0.100");
    }
    void packedValues() {
        QFETCH(quint32, packed);
        QFETCH(QString, text);
        m_a->SetAddress(packed);
        QCOMPARE(m_a->text(), text);
        std::uint32_t back = 1;
        QCOMPARE(m_a->GetAddress(back), 4);
        QCOMPARE(back, packed);
        std::uint8_t f[4];
        m_a->GetAddress(f[0], f[1], f[2], f[3]);
        QCOMPARE(int(f[0]), int(packed >> 24));
        QCOMPARE(int(f[3]), int(packed & 0xFF));
    }

    void blankFieldsReadAsZero() {
        m_a->ClearAddress();
        QVERIFY(m_a->IsBlank());
        std::uint32_t v = 7;
        QCOMPARE(m_a->GetAddress(v), 0);
        QCOMPARE(v, 0u);
        m_a->field(0)->setText(QStringLiteral("10"));
        m_a->field(3)->setText(QStringLiteral("5"));
        QCOMPARE(m_a->GetAddress(v), 2);
        QCOMPARE(v, 0x0A000005u);
        QVERIFY(!m_a->IsBlank());
    }

    void typingDottedAddress() {
        QSignalSpy changed(m_a, &CIPAddressCtrl::addressChanged);
        type(QStringLiteral("192.168.1.20"));
        QCOMPARE(m_a->text(), QStringLiteral("192.168.1.20"));
        QCOMPARE(m_a->address(), 0xC0A80114u);
        QCOMPARE(focus(), m_a->field(3));
        QVERIFY(changed.count() > 0);
    }

    void thirdDigitMovesOn() {
        type(QStringLiteral("10020030"));
        QCOMPARE(m_a->text(), QStringLiteral("100.200.30."));
        QCOMPARE(focus(), m_a->field(2));
        type(QStringLiteral("0")); // "300": clamped, and the completed field moves on
        QCOMPARE(focus(), m_a->field(3));
        type(QStringLiteral("1234")); // the last field takes three digits only
        QCOMPARE(m_a->text(), QStringLiteral("100.200.255.123"));
        QCOMPARE(focus(), m_a->field(3));
    }

    void valuesAboveMaximumAreClamped() {
        type(QStringLiteral("999"));
        QCOMPARE(m_a->field(0)->text(), QStringLiteral("255"));
        QCOMPARE(focus(), m_a->field(1));
        type(QStringLiteral("300."));
        QCOMPARE(m_a->field(1)->text(), QStringLiteral("255"));
    }

    void onlyDigitsAreTaken() {
        type(QStringLiteral("1a-b2"));
        QCOMPARE(m_a->field(0)->text(), QStringLiteral("12"));
    }

    void dotInEmptyFieldIsIgnored() {
        type(QStringLiteral("."));
        QCOMPARE(focus(), m_a->field(0));
        type(QStringLiteral("7 8"));
        QCOMPARE(m_a->text(), QStringLiteral("7.8.."));
        QCOMPARE(focus(), m_a->field(1));
    }

    void dotSelectsNextFieldText() {
        m_a->SetAddress(0x01020304);
        m_a->field(0)->setFocus();
        m_a->field(0)->setCursorPosition(1);
        type(QStringLiteral(".9"));
        QCOMPARE(m_a->text(), QStringLiteral("1.9.3.4")); // the old "2" was selected, replaced
    }

    void backspaceAtStartMovesBack() {
        type(QStringLiteral("12."));
        QCOMPARE(focus(), m_a->field(1));
        key(Qt::Key_Backspace);
        QCOMPARE(focus(), m_a->field(0));
        QCOMPARE(m_a->field(0)->cursorPosition(), 2);
        QCOMPARE(m_a->field(0)->text(), QStringLiteral("12")); // moving back deletes nothing
        key(Qt::Key_Backspace);
        QCOMPARE(m_a->field(0)->text(), QStringLiteral("1"));
        key(Qt::Key_Backspace);
        key(Qt::Key_Backspace); // at the start of field 0: stays
        QCOMPARE(focus(), m_a->field(0));
        QVERIFY(m_a->IsBlank());
    }

    void arrowsCrossFields() {
        m_a->SetAddress(0x0A141E28); // 10.20.30.40
        m_a->field(1)->setFocus();
        m_a->field(1)->setCursorPosition(2);
        key(Qt::Key_Right);
        QCOMPARE(focus(), m_a->field(2));
        QCOMPARE(m_a->field(2)->cursorPosition(), 0);
        key(Qt::Key_Left);
        QCOMPARE(focus(), m_a->field(1));
        QCOMPARE(m_a->field(1)->cursorPosition(), 2);
    }

    void pasteDottedFillsAllFields() {
        m_a->field(2)->setFocus();
        QApplication::clipboard()->setText(QStringLiteral(" 172.16.254.3 "));
        key(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(m_a->text(), QStringLiteral("172.16.254.3"));
        QCOMPARE(m_a->address(), 0xAC10FE03u);
        QApplication::clipboard()->setText(QStringLiteral("10.x.300"));
        key(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(m_a->text(), QStringLiteral("10..255."));
    }

    void pasteDigitsGoesIntoField() {
        QApplication::clipboard()->setText(QStringLiteral("42"));
        key(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(m_a->text(), QStringLiteral("42..."));
        QApplication::clipboard()->setText(QStringLiteral("not an address"));
        key(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(m_a->text(), QStringLiteral("42..."));
    }

    void tabLeavesTheControl() {
        type(QStringLiteral("1.2"));
        QCOMPARE(focus(), m_a->field(1));
        key(Qt::Key_Tab);
        QCOMPARE(focus(), m_button);
        key(Qt::Key_Tab);
        QCOMPARE(focus(), m_b->field(0)); // entering by Tab lands in the first field
        type(QStringLiteral("3.4.5"));
        QCOMPARE(focus(), m_b->field(2));
        key(Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(focus(), m_button);
        key(Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(focus(), m_a->field(0));
    }

    void enabledAsOneControl() {
        m_a->setEnabled(false);
        for (int i = 0; i < 4; ++i)
            QVERIFY(!m_a->field(i)->isEnabled());
        m_a->setEnabled(true);
        for (int i = 0; i < 4; ++i)
            QVERIFY(m_a->field(i)->isEnabled());
    }
};

QTEST_MAIN(TestIpAddressCtrl)
#include "tst_ipaddressctrl.moc"
