// The address and record text: NetworkRecord's dotted-address parser and the record layout,
// and the settings checks of Validation, against references written here from their
// documented rules.
//
// Properties:
//  - parseAddress accepts exactly the strict dotted-decimal form (four fields 0..255, no
//    leading zeros, nothing else but blanks around), and what it accepts formats back to the
//    same text;
//  - a record survives toBytes/fromBytes both ways;
//  - checkSettings reports exactly the rules the settings break (mask first, then ip, then
//    gateway, at most one rule each for ip and gateway), each message naming its field.

#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NetworkRecord.h"
#include "Validation.h"

using namespace vqx;
using Rule = provision::Violation::Rule;

namespace {

std::optional<std::uint32_t> referenceAddress(const std::string& text) {
    std::uint32_t packed = 0;
    int fields = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t digits = 0;
        std::uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[i - digits] == '0'))
            return std::nullopt;
        packed = packed << 8 | value;
        if (++fields == 4)
            return i == text.size() ? std::optional(packed) : std::nullopt;
        if (i >= text.size() || text[i] != '.')
            return std::nullopt;
        ++i;
    }
}

bool contiguous(std::uint32_t mask) {
    // Bit by bit: ones from the top, then only zeros; at least one 1.
    bool zeroSeen = false;
    for (int b = 31; b >= 0; --b) {
        const bool one = (mask >> b) & 1u;
        if (one && zeroSeen)
            return false;
        zeroSeen = zeroSeen || !one;
    }
    return mask != 0;
}

std::vector<Rule> referenceRules(const NetworkRecord& s) {
    std::vector<Rule> out;
    const bool maskOk = contiguous(s.mask);
    if (!maskOk)
        out.push_back(Rule::MaskNotContiguous);
    const std::uint32_t host = ~s.mask;
    if (s.ip == 0)
        out.push_back(Rule::IpZero);
    else if (s.ip >= 0x7F000000u && s.ip <= 0x7FFFFFFFu)
        out.push_back(Rule::IpLoopback);
    else if (s.ip >= 0xE0000000u && s.ip <= 0xEFFFFFFFu)
        out.push_back(Rule::IpMulticast);
    else if (maskOk && (s.ip & host) == 0)
        out.push_back(Rule::IpNetwork);
    else if (maskOk && (s.ip & host) == host)
        out.push_back(Rule::IpBroadcast);
    if (s.gateway != 0) {
        if (s.gateway == s.ip)
            out.push_back(Rule::GatewayIsIp);
        else if (maskOk && (s.gateway & s.mask) != (s.ip & s.mask))
            out.push_back(Rule::GatewayOutside);
        else if (maskOk && (s.gateway & host) == 0)
            out.push_back(Rule::GatewayNetwork);
        else if (maskOk && (s.gateway & host) == host)
            out.push_back(Rule::GatewayBroadcast);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);

    // The record from twelve bytes, and its checks.
    RecordBytes bytes{};
    for (auto& b : bytes)
        b = in.ConsumeIntegral<std::uint8_t>();
    const NetworkRecord record = NetworkRecord::fromBytes(bytes);
    VQX_FUZZ_CHECK(record.toBytes() == bytes);
    VQX_FUZZ_CHECK(NetworkRecord::fromBytes(record.toBytes()) == record);
    VQX_FUZZ_CHECK(record.gateway ==
                   (std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                    std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24));

    const auto violations = provision::checkSettings(record);
    const auto expected = referenceRules(record);
    VQX_FUZZ_CHECK(violations.size() == expected.size());
    for (std::size_t i = 0; i < violations.size(); ++i) {
        const auto& v = violations[i];
        VQX_FUZZ_CHECK(v.rule == expected[i]);
        VQX_FUZZ_CHECK(v.field == QLatin1String("mask") || v.field == QLatin1String("ip") ||
                       v.field == QLatin1String("gateway"));
        VQX_FUZZ_CHECK(v.message.startsWith(v.field + QLatin1Char(' ')));
    }
    VQX_FUZZ_CHECK(provision::isContiguousMask(record.mask) == contiguous(record.mask));

    // The address text, as UTF-8 or as Latin-1.
    const bool latin1 = in.ConsumeBool();
    const std::string raw = in.ConsumeRemainingBytesAsString();
    const QString text = latin1
                             ? QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()))
                             : QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));
    const auto parsed = parseAddress(text);
    const QString trimmed = text.trimmed();
    const QByteArray trimmedUtf8 = trimmed.toUtf8();
    const auto reference = referenceAddress(
        std::string(trimmedUtf8.constData(), static_cast<std::size_t>(trimmedUtf8.size())));
    VQX_FUZZ_CHECK(parsed == reference);
    if (parsed) {
        VQX_FUZZ_CHECK(formatAddress(*parsed) == trimmed);
        VQX_FUZZ_CHECK(parseAddress(formatAddress(*parsed)) == parsed);
    }
    // Any packed address formats to text that parses back to it.
    VQX_FUZZ_CHECK(parseAddress(formatAddress(record.ip)) == record.ip);
    return 0;
}
