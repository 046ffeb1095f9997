#include "CConfigApp.h"

int main(int argc, char** argv) {
    CConfigApp app(argc, argv);
    if (const int rc = app.ParseCommandLine(); rc >= 0)
        return rc;
    app.InitInstance();
    return app.ExitCode();
}
