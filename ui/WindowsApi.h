#pragma once
// The Windows API for the dialog's system menu and the application's console, without the
// macros that clash with the program's names (min/max, MessageBox).

#include <QtGlobal>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef MessageBox
#endif
