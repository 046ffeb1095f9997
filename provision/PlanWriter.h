#pragma once
// Writing a plan in the forms parsePlan reads (Plan.h), so that a plan saved by one front end
// opens in the other: CSV with the header "host,port,slot,ip,mask,gateway", or JSON as an
// object with a "modules" array. A host on the module port gets an empty port field (JSON: no
// "port" key), as a plan written by hand would.

#include <vector>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "Plan.h"

namespace vqx::provision {

/// The plan as text; `format` Auto is taken as CSV.
QByteArray writePlan(const std::vector<PlanEntry>& entries, PlanFormat format);

/// One CSV field: quoted (with doubled quotes inside) when it holds a comma, a quote, a line
/// end or blanks at either end, which splitCsvLine would otherwise cut or trim.
QString csvField(const QString& text);
/// A CSV line of the fields, without the line end.
QString csvLine(const QStringList& fields);

} // namespace vqx::provision
