#include "PlanFile.h"

#include <algorithm>
#include <cstdio>

#include <QByteArray>
#include <QFile>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

#include "UserText.h"

namespace vqx::provision {

namespace {

/// Reads a plan from a file, a pipe or a device, at most kMaxPlanBytes. A larger plan, or a
/// failing read: nothing, with *error set.
std::optional<QByteArray> readPlanText(QFile& in, QString* error) {
    QByteArray text;
    for (;;) {
        const qint64 room = kMaxPlanBytes + 1 - text.size();
        if (room <= 0) {
            *error = QStringLiteral("the plan is larger than %1 MiB; split it into smaller plans")
                         .arg(kMaxPlanBytes / (qint64{1024} * 1024));
            return std::nullopt;
        }
        const QByteArray chunk = in.read(std::min<qint64>(room, qint64{1024} * 1024));
        if (chunk.isEmpty()) { // the end, as a read from a file or a pipe blocks until data
            if (in.error() != QFileDevice::NoError) {
                *error = QStringLiteral("reading the plan failed: %1").arg(in.errorString());
                return std::nullopt;
            }
            return text;
        }
        text += chunk;
    }
}

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
    const std::optional<QByteArray> text = readPlanText(in, error);
    in.close();
    if (!text)
        return std::nullopt;
    return parsePlan(*text, format == PlanFormat::Auto ? formatByName(path) : format, error);
}

} // namespace vqx::provision
