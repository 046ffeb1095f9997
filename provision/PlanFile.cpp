#include "PlanFile.h"

#include <cstdio>

#include <QFile>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

#include "UserText.h"

namespace vqx::provision {

namespace {

PlanFormat formatByName(const QString& path) {
    if (path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive))
        return PlanFormat::Json;
    if (path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
        return PlanFormat::Csv;
    return PlanFormat::Auto;
}

} // namespace

std::optional<std::vector<PlanEntry>> loadPlan(const QString& path, PlanFormat format,
                                               QString* error) {
    QFile in;
    if (path == QStringLiteral("-")) {
        // Read through the descriptor, unbuffered: on Windows a QFile over the C stream of a
        // pipe reports the pipe's end as a read error. The plan is taken as bytes there too
        // (no CR-LF translation, no end at a Ctrl-Z); the parser accepts both line ends.
#ifdef Q_OS_WIN
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        if (!in.open(fileno(stdin), QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the plan from stdin");
            return std::nullopt;
        }
    } else {
        in.setFileName(path);
        if (!in.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the plan %1: %2")
                         .arg(shown(in.fileName()), in.errorString());
            return std::nullopt;
        }
    }
    return readPlan(in, format == PlanFormat::Auto ? formatByName(path) : format, error);
}

} // namespace vqx::provision
