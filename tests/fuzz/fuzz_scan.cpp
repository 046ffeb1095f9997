// Scan targets: parseScanTarget over each line of the input, then mergeRanges over all the
// targets accepted.
//
// Properties:
//  - an accepted target is a range first <= last; a block ADDRESS/BITS is aligned to its
//    size; the range written as FIRST-LAST (or as one address) parses to the same range;
//  - a refused target gives a message that quotes it;
//  - the merged ranges are sorted, neither overlap nor touch, cover every address of the
//    targets and no other, and count no more addresses than the targets.

#include <fuzzer/FuzzedDataProvider.h>

#include <QStringList>

#include <algorithm>

#include "FuzzCheck.h"
#include "Scan.h"

using namespace vqx;
using namespace vqx::provision;

namespace {

bool covered(std::uint32_t address, const std::vector<AddressRange>& ranges) {
    for (const AddressRange& r : ranges)
        if (address >= r.first && address <= r.last)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString all =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList lines = all.split(QLatin1Char('\n'));
    if (lines.size() > 64)
        return 0;
    std::vector<AddressRange> ranges;
    std::uint64_t total = 0;
    for (const QString& line : lines) {
        QString error;
        const auto range = parseScanTarget(line, &error);
        if (!range) {
            VQX_FUZZ_CHECK(error.startsWith(QLatin1Char('\'') + line + QLatin1Char('\'')));
            continue;
        }
        VQX_FUZZ_CHECK(range->first <= range->last);
        VQX_FUZZ_CHECK(range->size() >= 1 && range->size() <= (std::uint64_t{1} << 32));
        if (line.contains(QLatin1Char('/'))) {
            const std::uint64_t n = range->size();
            VQX_FUZZ_CHECK((n & (n - 1)) == 0);
            VQX_FUZZ_CHECK((range->first & (n - 1)) == 0);
        }
        const QString again =
            range->first == range->last
                ? formatAddress(range->first)
                : formatAddress(range->first) + QLatin1Char('-') + formatAddress(range->last);
        QString why;
        const auto reparsed = parseScanTarget(again, &why);
        VQX_FUZZ_CHECK(reparsed && reparsed->first == range->first &&
                       reparsed->last == range->last);
        ranges.push_back(*range);
        total += range->size();
    }

    const auto merged = mergeRanges(ranges);
    VQX_FUZZ_CHECK(addressCount(merged) <= total);
    VQX_FUZZ_CHECK(addressCount(merged) <= (std::uint64_t{1} << 32));
    VQX_FUZZ_CHECK(merged.empty() == ranges.empty());
    for (std::size_t i = 0; i < merged.size(); ++i) {
        VQX_FUZZ_CHECK(merged[i].first <= merged[i].last);
        if (i > 0)
            VQX_FUZZ_CHECK(std::uint64_t{merged[i].first} > std::uint64_t{merged[i - 1].last} + 1);
        // No address outside the targets: each end, and the addresses next to the gaps.
        VQX_FUZZ_CHECK(covered(merged[i].first, ranges) && covered(merged[i].last, ranges));
        if (merged[i].first > 0)
            VQX_FUZZ_CHECK(!covered(merged[i].first - 1, ranges));
        if (merged[i].last < 0xFFFFFFFFu)
            VQX_FUZZ_CHECK(!covered(merged[i].last + 1, ranges));
    }
    for (const AddressRange& r : ranges)
        VQX_FUZZ_CHECK(covered(r.first, merged) && covered(r.last, merged));
    // No gap inside a merged range: the targets within it cover it from end to end.
    std::vector<AddressRange> sorted = ranges;
    std::sort(sorted.begin(), sorted.end(),
              [](const AddressRange& a, const AddressRange& b) { return a.first < b.first; });
    for (const AddressRange& m : merged) {
        std::uint64_t reach = m.first; // first address not yet covered
        for (const AddressRange& r : sorted) {
            if (r.last < m.first || r.first > m.last)
                continue;
            VQX_FUZZ_CHECK(r.first <= reach);
            reach = std::max<std::uint64_t>(reach, std::uint64_t{r.last} + 1);
        }
        VQX_FUZZ_CHECK(reach == std::uint64_t{m.last} + 1);
    }
    return 0;
}
