#include "CConfigDlg.h"

// The busy guard: while a device operation runs, the controls that start one take no input,
// and input queued against a frozen screen is dropped when the operation ends.

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QRadioButton>
#include <QWindow>

namespace {

// Input a blocked thread may have queued for a window.
bool isInputEvent(const QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
        return true;
    default:
        return false;
    }
}

bool isClosingKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease &&
        event->type() != QEvent::ShortcutOverride)
        return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

void CConfigDlg::BeginOperation() {
    if (m_busy++ == 0) {
        m_usbCheckedAtStart = m_usbRadio->isChecked();
        QApplication::setOverrideCursor(Qt::BusyCursor);
    }
}

void CConfigDlg::EndOperation(bool deviceOperation) {
    if (m_busy > 1) {
        --m_busy;
        return;
    }
    DiscardQueuedInput(); // while still busy
    m_busy = 0;
    QApplication::restoreOverrideCursor();
    if (deviceOperation)
        emit operationFinished();
    if (m_closePending) {
        m_closePending = false;
        QDialog::done(m_pendingResult);
    }
}

void CConfigDlg::done(int result) {
    if (IsBusy()) {
        // Ending the dialog inside a transfer would leave the transfer without its window;
        // the dialog ends when the transfer has.
        m_closePending = true;
        m_pendingResult = result;
        return;
    }
    // Windows opened from the dialog (the fleet window) close first; one that is busy may
    // refuse (it asks, and closes when its run has ended), and the dialog stays then.
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w->isWindow() && w->isVisible() && !qobject_cast<QMenu*>(w) && !w->close())
            return;
    QDialog::done(result);
}

void CConfigDlg::DiscardQueuedInput() {
    // Input that arrived while the thread was blocked is dispatched now, while the dialog is
    // still busy, and dropped by the filter below instead of acting on what the screen
    // shows once the operation is over.
    m_discardingInput = true;
    qApp->installEventFilter(this);
    QCoreApplication::processEvents();
    qApp->removeEventFilter(this);
    m_discardingInput = false;
}

bool CConfigDlg::IsOwnObject(const QObject* object) const {
    for (const QObject* o = object; o; o = o->parent())
        if (o == this)
            return true;
    return object == windowHandle();
}

bool CConfigDlg::eventFilter(QObject* watched, QEvent* event) {
    if (m_discardingInput) // installed on the application while queued input is dispatched
        return isInputEvent(event) && !isClosingKey(event) && IsOwnObject(watched);
    if (!IsBusy())
        return QDialog::eventFilter(watched, event);
    // During a transfer the controls that start device operations take no input.
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
        return true;
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Tab || key == Qt::Key_Backtab)
            break;
        return true;
    }
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}
