#include <QCoreApplication>

#include "CConfigApp.h"

int main(int argc, char** argv) {
    {
        // --help and --version are answered before the GUI application exists, which would
        // need a display.
        const QCoreApplication core(argc, argv);
        if (const int rc = CConfigApp::AnswerInfoOptions(); rc >= 0)
            return rc;
    }
    CConfigApp app(argc, argv);
    if (const int rc = app.ParseCommandLine(); rc >= 0)
        return rc;
    app.InitInstance();
    return app.ExitCode();
}
