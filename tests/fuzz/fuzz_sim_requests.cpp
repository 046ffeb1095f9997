// The simulated module's request stream, strict and lax: RequestFraming cuts 6-byte groups
// from the bytes a client sends and ModuleModel acts on them, as ModuleServer does with the
// bytes of a connection.
//
// Properties:
//  - the steps do not depend on how the stream arrives (pieces vs. one piece); every byte is
//    taken except at most five at the end; a step takes 1..6 bytes;
//  - a group starts with a header byte; in strict mode its data bytes have no bit 7 and its
//    reserved bits are clear, so that it is exactly the client's encoding of its register and
//    value (NetFraming's encodeWrite/encodeRead); lax mode refuses nothing, the model
//    included;
//  - a refused request leaves no trace: a second model that is given only the requests the
//    first accepted answers every read the same and ends in the same state;
//  - a read is answered with the words asked for, or (refused) with none.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "ModuleModel.h"
#include "NetFraming.h"
#include "RequestFraming.h"

using namespace vqx::sim;
using Kind = RequestStep::Kind;

namespace {

struct Step {
    Kind kind;
    std::size_t length;
    std::string rejection;
    bool operator==(const Step&) const = default;
};

/// The steps over a stream that arrives in pieces, as a connection's pending bytes see them.
std::vector<Step> steps(const std::vector<std::uint8_t>& stream,
                        const std::vector<std::size_t>& cuts, bool strict, std::size_t& left) {
    std::vector<Step> out;
    std::vector<std::uint8_t> pending;
    std::size_t pos = 0;
    std::size_t at = 0;
    std::size_t cut = 0;
    bool stray = false;
    while (at < stream.size() || cut == 0) {
        std::size_t len = cut < cuts.size() ? cuts[cut] : stream.size() - at;
        ++cut;
        len = std::min(len, stream.size() - at);
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(pos));
        pos = 0;
        pending.insert(pending.end(), stream.begin() + static_cast<long>(at),
                       stream.begin() + static_cast<long>(at + len));
        at += len;
        for (;;) {
            // A copy of exactly the unhandled bytes, so that ASan sees a read past them.
            const std::vector<std::uint8_t> view(pending.begin() + static_cast<long>(pos),
                                                 pending.end());
            const RequestStep s = nextRequest(view.data(), view.size(), strict, stray);
            if (s.kind == Kind::NeedMore) {
                VQX_FUZZ_CHECK(s.length == 0 && s.rejection.empty());
                VQX_FUZZ_CHECK(view.size() < 6);
                break;
            }
            VQX_FUZZ_CHECK(s.length >= 1 && s.length <= 6 && s.length <= view.size());
            pos += s.length;
            out.push_back({s.kind, s.length, s.rejection});
        }
    }
    left = pending.size() - pos;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool strict = in.ConsumeBool();
    const auto variant = in.ConsumeBool() ? ModuleModel::Variant::V2 : ModuleModel::Variant::V1;
    const int busyPolls = in.ConsumeIntegralInRange(0, 3);
    const int failAt = in.ConsumeIntegralInRange(-1, 40);
    std::vector<std::size_t> cuts(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& c : cuts)
        c = in.ConsumeIntegralInRange<std::size_t>(0, 16);
    const std::vector<std::uint8_t> stream = in.ConsumeRemainingBytes<std::uint8_t>();

    std::size_t leftPieces = 0;
    std::size_t leftWhole = 0;
    const auto pieces = steps(stream, cuts, strict, leftPieces);
    const auto whole = steps(stream, {}, strict, leftWhole);
    VQX_FUZZ_CHECK(pieces == whole);
    VQX_FUZZ_CHECK(leftPieces == leftWhole && leftWhole < 6);

    ModuleModel first(variant);
    ModuleModel second(variant);
    for (ModuleModel* m : {&first, &second}) {
        m->setStrict(strict);
        m->setBusyPolls(busyPolls);
        m->faults().failAtAddress = failAt;
        for (std::size_t i = 0; i < 64; ++i)
            m->eeprom()[i] = static_cast<std::uint8_t>(i * 7);
    }

    std::size_t at = 0;
    for (const Step& s : whole) {
        const std::uint8_t* p = stream.data() + at;
        at += s.length;
        if (!strict)
            VQX_FUZZ_CHECK(s.rejection.empty());
        if (s.kind != Kind::Group)
            continue;
        VQX_FUZZ_CHECK(s.length == 6 && (p[0] & 0x80) != 0 && s.rejection.empty());
        const auto reg = static_cast<std::uint8_t>(p[0] & 0x1F);
        const std::uint32_t value = decodeRequestValue(p + 1);
        const bool read = (p[0] & 0x40) != 0;
        if (strict) {
            const auto again =
                read ? vqx::net::encodeRead(reg, value) : vqx::net::encodeWrite(reg, value);
            VQX_FUZZ_CHECK(std::equal(again.begin(), again.end(), p));
        }
        const int before = first.rejections();
        if (!read) {
            first.writeRegister(reg, value);
            if (first.rejections() == before)
                second.writeRegister(reg, value);
            continue;
        }
        if (value == 0 || value > kMaxServedReadWords)
            continue; // not served
        const auto words = first.readRegister(reg, value);
        VQX_FUZZ_CHECK(words.empty() || words.size() == value);
        if (first.rejections() != before) {
            VQX_FUZZ_CHECK(words.empty());
            continue;
        }
        VQX_FUZZ_CHECK(words.size() == value);
        VQX_FUZZ_CHECK(second.readRegister(reg, value) == words);
    }
    VQX_FUZZ_CHECK(at + leftWhole == stream.size());
    if (!strict)
        VQX_FUZZ_CHECK(first.rejections() == 0);
    VQX_FUZZ_CHECK(second.rejections() == 0);
    VQX_FUZZ_CHECK(first.eeprom() == second.eeprom());
    VQX_FUZZ_CHECK(first.commandsExecuted() == second.commandsExecuted());
    VQX_FUZZ_CHECK(first.statusReads() == second.statusReads());
    return 0;
}
