#pragma once
// The dialog's busy guard as a scope (private to the dialog's sources).

#include "CConfigDlg.h"

// An operation on a device, or another stretch that blocks the thread (device = false):
// marks the dialog busy for its duration.
class CConfigDlg::Operation {
public:
    explicit Operation(CConfigDlg& dlg, bool device = true) : m_dlg(dlg), m_device(device) {
        m_dlg.BeginOperation();
    }
    ~Operation() { m_dlg.EndOperation(m_device); }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

private:
    CConfigDlg& m_dlg;
    bool m_device;
};
