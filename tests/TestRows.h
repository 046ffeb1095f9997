#pragma once
// Data rows several suites share.

#include <QTest>

#include "ModuleProtocol.h"

namespace vqxtest {

/// An int column "variant" with one row per EEPROM controller variant ("variant 1",
/// "variant 2"): for a case that must hold alike on both.
inline void variantRows() {
    QTest::addColumn<int>("variant");
    for (const int v : {vqx::module::kVariant1, vqx::module::kVariant2})
        QTest::newRow(qPrintable(QStringLiteral("variant %1").arg(v))) << v;
}

} // namespace vqxtest
