// The Ethernet reply stream: NetFraming's ReplyParser over bytes from the module.
//
// Input: the expected payload size, the connection's packet-number state, where the stream is
// cut into pieces, then the stream. Properties:
//  - the outcome does not depend on where the stream is cut (pieces vs. one piece);
//  - the status agrees with the count (Complete: exactly the expected bytes, More: fewer,
//    Overrun: more), and the payload stored is the stream's payload bytes in order, never
//    more than requested (the buffer is exactly the requested size: ASan sees any overrun);
//  - a reply framed as the module frames it (numbered 1460-byte packets) from the same
//    payload parses back Complete to that payload, with the counter on its last number.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "NetFraming.h"

using namespace vqx::net;
using Status = ReplyParser::Status;

namespace {

struct Outcome {
    Status status = Status::More;
    std::size_t received = 0;
    std::size_t consumed = 0; ///< stream bytes handed to the parser
    std::vector<std::uint8_t> buffer;
    bool firstPacket = false;
    std::uint16_t counter = 0;
};

Outcome parse(const std::vector<std::uint8_t>& stream, const std::vector<std::size_t>& cuts,
              std::size_t expected, bool firstPacket, std::uint16_t counter) {
    Outcome o;
    o.buffer.assign(expected, 0x5A);
    o.firstPacket = firstPacket;
    o.counter = counter;
    ReplyParser parser(o.buffer.data(), expected, o.firstPacket, o.counter);
    std::size_t at = 0;
    std::size_t cut = 0;
    do {
        std::size_t len = cut < cuts.size() ? cuts[cut++] : stream.size() - at;
        if (len > stream.size() - at)
            len = stream.size() - at;
        // A piece of its own, so that ASan sees a read past its end.
        const std::vector<std::uint8_t> piece(stream.begin() + static_cast<long>(at),
                                              stream.begin() + static_cast<long>(at + len));
        o.status = parser.feed(piece.data(), piece.size());
        at += len;
    } while (o.status == Status::More && at < stream.size());
    o.consumed = at;
    o.received = parser.received();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto expected = in.ConsumeIntegralInRange<std::size_t>(0, 4 * kPacketSize);
    const bool firstPacket = in.ConsumeBool();
    const auto counter = in.ConsumeIntegral<std::uint16_t>();
    std::vector<std::size_t> cuts(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& c : cuts)
        c = in.ConsumeIntegralInRange<std::size_t>(0, 2 * kPacketSize);
    const std::vector<std::uint8_t> stream = in.ConsumeRemainingBytes<std::uint8_t>();

    const Outcome pieces = parse(stream, cuts, expected, firstPacket, counter);
    switch (pieces.status) {
    case Status::Complete:
        VQX_FUZZ_CHECK(pieces.received == expected);
        break;
    case Status::More:
        VQX_FUZZ_CHECK(pieces.received < expected);
        VQX_FUZZ_CHECK(pieces.consumed == stream.size());
        break;
    case Status::Overrun:
        VQX_FUZZ_CHECK(pieces.received > expected);
        break;
    default:
        break;
    }
    VQX_FUZZ_CHECK(pieces.received <= pieces.consumed);

    // The same bytes in one piece: the same outcome.
    const std::vector<std::uint8_t> fed(stream.begin(),
                                        stream.begin() + static_cast<long>(pieces.consumed));
    const Outcome whole = parse(fed, {}, expected, firstPacket, counter);
    VQX_FUZZ_CHECK(whole.status == pieces.status);
    VQX_FUZZ_CHECK(whole.received == pieces.received);
    VQX_FUZZ_CHECK(whole.buffer == pieces.buffer);
    VQX_FUZZ_CHECK(whole.firstPacket == pieces.firstPacket);
    VQX_FUZZ_CHECK(whole.counter == pieces.counter);

    // The payload stored is the stream's payload bytes (offset 4 and on in each 1460-byte
    // packet), in order, as far as they fit.
    if (pieces.status == Status::Complete || pieces.status == Status::More ||
        pieces.status == Status::Overrun) {
        std::size_t k = 0;
        for (std::size_t i = 0; i < pieces.consumed && k < expected; ++i)
            if (i % kPacketSize >= static_cast<std::size_t>(kPacketHeader))
                VQX_FUZZ_CHECK(pieces.buffer[k++] == stream[i]);
    }

    // A reply framed as the module frames it parses back to its payload.
    std::vector<std::uint8_t> payload(expected);
    for (std::size_t i = 0; i < expected; ++i)
        payload[i] = stream.empty() ? static_cast<std::uint8_t>(i) : stream[i % stream.size()];
    std::vector<std::uint8_t> reply;
    std::uint16_t number = firstPacket ? static_cast<std::uint16_t>(counter ^ 0x5555)
                                       : static_cast<std::uint16_t>(counter + 1);
    std::uint16_t last = counter;
    for (std::size_t at = 0; at < expected; at += kPacketSize - kPacketHeader) {
        reply.push_back(kMagic0);
        reply.push_back(kMagic1);
        reply.push_back(static_cast<std::uint8_t>(number & 0xFF));
        reply.push_back(static_cast<std::uint8_t>(number >> 8));
        const std::size_t n = std::min<std::size_t>(kPacketSize - kPacketHeader, expected - at);
        reply.insert(reply.end(), payload.begin() + static_cast<long>(at),
                     payload.begin() + static_cast<long>(at + n));
        last = number++;
    }
    if (expected > 0) {
        const Outcome framed = parse(reply, cuts, expected, firstPacket, counter);
        VQX_FUZZ_CHECK(framed.status == Status::Complete);
        VQX_FUZZ_CHECK(framed.consumed == reply.size());
        VQX_FUZZ_CHECK(framed.buffer == payload);
        VQX_FUZZ_CHECK(!framed.firstPacket);
        VQX_FUZZ_CHECK(framed.counter == last);
    }
    return 0;
}
