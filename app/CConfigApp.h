#pragma once
// The application: runs the main dialog as its only window and ends when it closes.
//
// Without options the program takes no arguments of its own and uses the real links.
// Options (additions for trying the program without hardware):
//   --demo       the dialog works against embedded simulators: a module served on a loopback
//                address (already in the connect field) and a six-slot hub
//   --help, --version
// Hidden, for the screenshot script: --screenshot FILE [--screenshot-usb] (with --demo).

#include <QApplication>
#include <QString>

class CConfigApp : public QApplication {
    Q_OBJECT
public:
    struct Options {
        bool demo = false;
        QString screenshot;         ///< grab the dialog into this file and quit
        bool screenshotUsb = false; ///< ... in USB mode with slot 2 chosen
    };

    CConfigApp(int& argc, char** argv);

    /// Reads the command line. Returns -1 to go on, otherwise the exit code (after --help,
    /// --version or an error).
    int ParseCommandLine();
    const Options& options() const { return m_options; }
    void setOptions(const Options& options) { m_options = options; }

    /// Runs the main dialog modally; returns false always, as the program ends with it.
    bool InitInstance();

private:
    Options m_options;
};
