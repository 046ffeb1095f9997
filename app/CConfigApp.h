#pragma once
// The application: runs the main dialog as its only window and ends when it closes.
//
// The program takes no arguments of its own: without --demo the dialog uses the real links.
// Options (additions for trying the program without hardware):
//   --demo       the dialog works against embedded simulators: a module served on a loopback
//                address (already in the connect field) and a six-slot hub
//   --fleet      the window for many modules instead of the dialog (the dialog opens the same
//                window from its "Many modules..." entry); with --demo it works against a
//                fleet of simulated modules on loopback addresses and the demo's hub
//   --help, --version print their text and end the program. On Windows, where the program has
//                no console of its own, the text goes to the output the caller redirected,
//                else to the console of the command prompt that started it, else into a
//                message box.
// Hidden, for the screenshot script and tests, only together with --demo:
//   --screenshot FILE [--screenshot-usb]   grab the dialog into FILE and quit (with --fleet:
//                                          the fleet window after a scan, a hub read and an
//                                          apply of the fleet)
//   --demo-address A.B.C.D                 serve the simulated module on this loopback address
//
// Decisions: any other argument (an unknown option, a stray word such as a file dropped on
// the executable) is ignored with a note on stderr, and the dialog starts as usual; so are
// the hidden options without --demo, as they would otherwise drive the real links. When the
// demo's simulators cannot start, the program says why (stderr and, unless taking a
// screenshot, a message box) and ends with exit code 1 without showing the dialog.

#include <QApplication>
#include <QString>
#include <QStringList>

class CConfigApp : public QApplication {
    Q_OBJECT
public:
    struct Options {
        bool demo = false;
        bool fleet = false;         ///< the fleet window instead of the dialog
        QString screenshot;         ///< grab the dialog into this file and quit
        bool screenshotUsb = false; ///< ... in USB mode with slot 2 chosen
        quint32 demoAddress = 0;    ///< serve the demo module here (0: first free 127.0.0.N)
        QStringList ignored;        ///< arguments not acted on
    };

    CConfigApp(int& argc, char** argv);

    /// Answers --help and --version (printing their text) with only a QCoreApplication, so
    /// that they need no display. Returns their exit code, or -1 to go on.
    static int AnswerInfoOptions();
    /// Reads the command line. Returns -1 to go on, otherwise the exit code (after --help or
    /// --version).
    int ParseCommandLine();
    /// The parsing itself: arguments[0] is the program. Fills options; returns -1 to go on,
    /// or 0 after --help or --version with their text in *output.
    static int ParseArguments(const QStringList& arguments, Options& options,
                              QString* output = nullptr);
    const Options& options() const { return m_options; }
    void setOptions(const Options& options) { m_options = options; }

    /// Runs the main dialog modally (or the fleet window with --fleet); returns false always,
    /// as the program ends with it.
    bool InitInstance();
    /// The process's exit code once InitInstance has returned: 0, or 1 when the demo's
    /// simulators could not start.
    int ExitCode() const { return m_exitCode; }

private:
    /// Says why the demo's simulators cannot start (stderr, and a box unless taking a
    /// screenshot) and sets the exit code 1.
    void DemoFailed(const QString& why);

    Options m_options;
    int m_exitCode = 0;
};
