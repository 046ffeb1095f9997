// vqx250-ipconfig: reads and writes the network settings of VQX250 modules from scripts.

#include <iostream>

#include <QCoreApplication>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "Tool.h"
#include "Version.h"

#ifndef _WIN32
/// A standard stream started closed (`>&-`) is taken by /dev/null opened the wrong way round,
/// before anything else opens a file: otherwise the next socket or file would become, say,
/// descriptor 1 and receive the results. Writes to it (or reads from it) then fail, and are
/// reported as such.
void occupyClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int got = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (got != fd && got >= 0) {
            dup2(got, fd);
            close(got);
        }
    }
}
#endif

int main(int argc, char* argv[]) {
#ifndef _WIN32
    occupyClosedStandardStreams();
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vqx250-ipconfig"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(vqx::kVersion));
    const bool terminal = isatty(STDERR_FILENO) != 0;
    return vqx::cli::runTool(argc, argv, {std::cout, std::cerr, terminal});
}
