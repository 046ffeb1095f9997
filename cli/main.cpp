// vqx250-ipconfig: reads and writes the network settings of VQX250 modules from scripts.

#include <iostream>

#include <QCoreApplication>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

#include "Tool.h"

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vqx250-ipconfig"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
    const bool terminal = isatty(STDERR_FILENO) != 0;
    return vqx::cli::runTool(argc, argv, {std::cout, std::cerr, terminal});
}
