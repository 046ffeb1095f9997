// The USB side: UsbFraming's request encoding and decoding, the slot-type word (ModuleTypes),
// and the hub link (CUsbHub) taking its device list and its replies from a driver that
// answers with the fuzzer's bytes.
//
// Properties:
//  - every register word and read count survives encoding (decodeWord, decodeReadCount);
//    only the header byte of a request has bit 7 set; write blocks are cut into requests of
//    at most 4096 words that decode back to the block;
//  - the slot types of a word are its six nibbles, bits 24..31 play no part, every code has
//    a name, "Unknown" exactly for the codes without one;
//  - the hub link, whatever the driver lists and answers: returns only its documented codes,
//    counts the hubs as the list shows them, gives serial numbers of at most 15 characters,
//    opens only listed entries, uses only the channels it opened and closes each once.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "CUsbHub.h"
#include "D2xx.h"
#include "FuzzCheck.h"
#include "ModuleTypes.h"
#include "UsbFraming.h"

using namespace vqx::usb;
namespace fr = vqx::usb::framing;

namespace {

void checkFraming(FuzzedDataProvider& in) {
    const auto reg = in.ConsumeIntegral<std::uint8_t>();
    const auto word = in.ConsumeIntegral<std::uint32_t>();
    const auto bytes = fr::encodeWord(word);
    for (std::uint8_t b : bytes)
        VQX_FUZZ_CHECK((b & 0x80) == 0);
    VQX_FUZZ_CHECK(fr::decodeWord(bytes.data()) == word);

    const auto count = in.ConsumeIntegral<std::uint32_t>();
    const auto read = fr::readRequest(reg, count);
    VQX_FUZZ_CHECK(read[0] == fr::readHeader(reg));
    VQX_FUZZ_CHECK((read[0] & 0xC0) == 0xC0);
    for (std::size_t i = 1; i < read.size(); ++i)
        VQX_FUZZ_CHECK((read[i] & 0x80) == 0);
    VQX_FUZZ_CHECK(read[5] == 0);
    VQX_FUZZ_CHECK(fr::decodeReadCount(read.data() + 1) == (count & fr::kCountMask));

    // A block of up to 9000 words from a few seed words.
    const auto n = in.ConsumeIntegralInRange<std::uint32_t>(0, 9000);
    std::vector<std::uint32_t> words(n);
    const auto seed = in.ConsumeIntegral<std::uint32_t>();
    for (std::uint32_t i = 0; i < n; ++i)
        words[i] = seed * (i + 1) ^ (i << 13);
    const auto requests = fr::writeRequests(reg, words.data(), n);
    VQX_FUZZ_CHECK(requests.size() == (n + fr::kMaxWordsPerRequest - 1) / fr::kMaxWordsPerRequest);
    std::uint32_t at = 0;
    for (const auto& r : requests) {
        VQX_FUZZ_CHECK(r.size() <= fr::kMaxWriteRequestBytes);
        VQX_FUZZ_CHECK(r.size() > 1 && (r.size() - 1) % 5 == 0);
        VQX_FUZZ_CHECK(r[0] == fr::writeHeader(reg) && (r[0] & 0xC0) == 0x80);
        for (std::size_t i = 1; i < r.size(); i += 5) {
            for (std::size_t k = 0; k < 5; ++k)
                VQX_FUZZ_CHECK((r[i + k] & 0x80) == 0);
            VQX_FUZZ_CHECK(fr::decodeWord(r.data() + i) == words[at++]);
        }
    }
    VQX_FUZZ_CHECK(at == n);
}

void checkSlotTypes(FuzzedDataProvider& in) {
    std::uint8_t raw[4];
    for (auto& b : raw)
        b = in.ConsumeIntegral<std::uint8_t>();
    const std::uint32_t word = slotTypeWord(raw);
    VQX_FUZZ_CHECK(word == (std::uint32_t{raw[0]} | std::uint32_t{raw[1]} << 8 |
                            std::uint32_t{raw[2]} << 16 | std::uint32_t{raw[3]} << 24));
    const auto types = slotTypes(word);
    VQX_FUZZ_CHECK(types == slotTypes(word & 0x00FFFFFFu));
    for (int s = 0; s < kSlotCount; ++s) {
        const int code = types[static_cast<std::size_t>(s)];
        VQX_FUZZ_CHECK(code >= 0 && code <= 15);
        VQX_FUZZ_CHECK(code == static_cast<int>((word >> (4 * s)) & 0xFu));
        const char* name = moduleTypeName(code);
        VQX_FUZZ_CHECK(name != nullptr && *name != '\0');
        const bool named = code <= 6 || code == 9;
        VQX_FUZZ_CHECK(named == (std::strcmp(name, "Unknown") != 0));
    }
    VQX_FUZZ_CHECK(std::strcmp(moduleTypeName(in.ConsumeIntegral<int>() | 16), "Unknown") == 0);
}

/// A driver that lists and answers what the fuzzer says, and checks how the link uses it.
class FuzzDriver : public D2xxDriver {
public:
    explicit FuzzDriver(FuzzedDataProvider& in) : m_in(in) {}
    std::string name() const override { return "fuzz"; }

    FT_STATUS CreateDeviceInfoList(std::uint32_t* numDevs) override {
        const FT_STATUS st = status();
        m_listed.clear();
        const auto n = m_in.ConsumeIntegralInRange<std::uint32_t>(0, 6);
        for (std::uint32_t i = 0; i < n; ++i) {
            DeviceListNode node;
            node.ID = m_in.ConsumeBool() ? CUsbHub::kHubId : m_in.ConsumeIntegral<std::uint32_t>();
            const std::string serial =
                m_in.ConsumeBytesAsString(m_in.ConsumeIntegralInRange(0, 16));
            std::memcpy(node.SerialNumber, serial.data(), serial.size()); // maybe no terminator
            m_listed.push_back(node);
        }
        // Now and then a count the list does not keep to.
        *numDevs = m_in.ConsumeIntegralInRange(0, 15) == 0
                       ? m_in.ConsumeIntegralInRange<std::uint32_t>(0, 5000)
                       : n;
        m_count = *numDevs;
        return st;
    }
    FT_STATUS GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) override {
        VQX_FUZZ_CHECK(*numDevs <= m_count);
        const auto filled =
            std::min<std::uint32_t>(*numDevs, static_cast<std::uint32_t>(m_listed.size()));
        for (std::uint32_t i = 0; i < filled; ++i)
            list[i] = m_listed[i];
        *numDevs = filled;
        return status();
    }
    FT_STATUS Open(int deviceIndex, FT_HANDLE* handle) override {
        VQX_FUZZ_CHECK(deviceIndex >= 0 && static_cast<std::size_t>(deviceIndex) < m_listed.size());
        const FT_STATUS st = status();
        if (st == FT_OK) {
            *handle = &m_handles[m_nextHandle++ % m_handles.size()];
            VQX_FUZZ_CHECK(m_open.insert(*handle).second);
        }
        return st;
    }
    FT_STATUS Close(FT_HANDLE handle) override {
        VQX_FUZZ_CHECK(m_open.erase(handle) == 1);
        return status();
    }
    FT_STATUS SetTimeouts(FT_HANDLE h, std::uint32_t, std::uint32_t) override { return used(h); }
    FT_STATUS Purge(FT_HANDLE h, std::uint32_t) override { return used(h); }
    FT_STATUS SetBaudRate(FT_HANDLE h, std::uint32_t) override { return used(h); }
    FT_STATUS SetBitMode(FT_HANDLE h, std::uint8_t, std::uint8_t) override { return used(h); }
    FT_STATUS Write(FT_HANDLE h, const void* buffer, std::uint32_t bytesToWrite,
                    std::uint32_t* bytesWritten) override {
        const FT_STATUS st = used(h);
        // Reads every byte offered: ASan sees a buffer shorter than announced.
        const auto* b = static_cast<const std::uint8_t*>(buffer);
        unsigned sum = 0;
        for (std::uint32_t i = 0; i < bytesToWrite; ++i)
            sum += b[i];
        m_sink += sum;
        // Sometimes short, sometimes claiming more than offered.
        *bytesWritten = m_in.ConsumeIntegralInRange(0, 7) == 0
                            ? m_in.ConsumeIntegralInRange<std::uint32_t>(0, bytesToWrite + 2)
                            : bytesToWrite;
        return st;
    }
    FT_STATUS Read(FT_HANDLE h, void* buffer, std::uint32_t bytesToRead,
                   std::uint32_t* bytesReturned) override {
        const FT_STATUS st = used(h);
        const auto n = m_in.ConsumeIntegralInRange<std::uint32_t>(0, bytesToRead);
        const std::vector<std::uint8_t> bytes = m_in.ConsumeBytes<std::uint8_t>(n);
        std::memcpy(buffer, bytes.data(), bytes.size());
        *bytesReturned = static_cast<std::uint32_t>(bytes.size());
        return st;
    }
    bool anyOpen() const { return !m_open.empty(); }
    /// The hubs of the last list as its entries show them (channel A of hub id 5a3c:2207), or
    /// -1 when the count given exceeds what the link takes.
    int hubsListed() const {
        if (m_count > CUsbHub::kMaxListEntries)
            return -1;
        int hubs = 0;
        const std::size_t n = std::min<std::size_t>(m_count, m_listed.size());
        for (std::size_t i = 0; i < n; ++i) {
            const DeviceListNode& node = m_listed[i];
            std::size_t len = 0;
            while (len < sizeof node.SerialNumber && node.SerialNumber[len] != '\0')
                ++len;
            if (node.ID == CUsbHub::kHubId && len > 0 && node.SerialNumber[len - 1] == 'A')
                ++hubs;
        }
        return hubs;
    }

private:
    FT_STATUS status() {
        // Mostly FT_OK; otherwise any status, known or not.
        if (m_in.ConsumeIntegralInRange(0, 31) != 0)
            return FT_OK;
        return m_in.ConsumeIntegralInRange<FT_STATUS>(1, 40);
    }
    FT_STATUS used(FT_HANDLE h) {
        VQX_FUZZ_CHECK(m_open.count(h) == 1);
        return status();
    }
    FuzzedDataProvider& m_in;
    std::vector<DeviceListNode> m_listed;
    std::uint32_t m_count = 0;
    std::array<int, 64> m_handles{};
    std::size_t m_nextHandle = 0;
    std::set<FT_HANDLE> m_open;
    unsigned m_sink = 0;
};

bool documented(int rc) {
    return rc == 0 || (rc >= 1 && rc <= 40) || rc == CUsbHub::kNoHub ||
           rc == CUsbHub::kSetTimeoutsFailed || rc == CUsbHub::kPurgeFailed ||
           rc == CUsbHub::kSetBitModeFailed || rc == CUsbHub::kSetBaudRateFailed ||
           rc == CUsbHub::kSlotAccessFailed || (rc <= -20 && rc >= -24);
}

void checkHub(FuzzedDataProvider& in) {
    auto owned = std::make_unique<FuzzDriver>(in);
    FuzzDriver* driver = owned.get();
    {
        CUsbHub hub(std::move(owned));
        hub.SetSleep([](unsigned) {});
        for (int step = 0; step < 24 && in.remaining_bytes() > 0; ++step) {
            int rc = 0;
            switch (in.ConsumeIntegralInRange(0, 7)) {
            case 0: {
                std::uint8_t count = 0xEE;
                rc = hub.CountHubs(count);
                if (rc == 0)
                    VQX_FUZZ_CHECK(count == static_cast<std::uint8_t>(driver->hubsListed()));
                break;
            }
            case 1: {
                std::string serial = "unchanged";
                rc = hub.HubSerial(in.ConsumeIntegralInRange<std::uint8_t>(0, 3), serial);
                if (rc == 0)
                    VQX_FUZZ_CHECK(serial.size() <= 15 && serial.find('\0') == std::string::npos);
                break;
            }
            case 2:
                rc = hub.Open(in.ConsumeIntegralInRange<std::uint8_t>(0, 2));
                VQX_FUZZ_CHECK(hub.IsOpen() || !driver->anyOpen());
                break;
            case 3: {
                const auto count = in.ConsumeIntegralInRange<std::uint32_t>(0, 64);
                std::vector<std::uint8_t> buffer(2 * count);
                if (hub.IsOpen())
                    rc = hub.ReadRegs(in.ConsumeIntegral<std::uint8_t>(), buffer.data(), count);
                break;
            }
            case 4: {
                std::uint16_t value = 0;
                if (hub.IsOpen())
                    rc = hub.ReadSlotReg(in.ConsumeIntegralInRange(-1, 6),
                                         in.ConsumeIntegral<std::uint8_t>(), value);
                break;
            }
            case 5: {
                std::uint8_t byte = 0;
                if (hub.IsOpen())
                    rc = hub.ReadSlotEeprom(in.ConsumeIntegralInRange(-1, 6),
                                            in.ConsumeIntegral<std::uint16_t>(), byte);
                break;
            }
            case 6:
                if (hub.IsOpen())
                    rc = hub.WriteSlotEeprom(in.ConsumeIntegralInRange(-1, 6),
                                             in.ConsumeIntegral<std::uint16_t>(),
                                             in.ConsumeIntegral<std::uint8_t>());
                break;
            default:
                hub.Close();
                VQX_FUZZ_CHECK(!hub.IsOpen() && !driver->anyOpen());
                break;
            }
            VQX_FUZZ_CHECK(documented(rc));
            VQX_FUZZ_CHECK(CUsbHub::Describe(rc) != nullptr);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    checkFraming(in);
    checkSlotTypes(in);
    checkHub(in);
    return 0;
}
