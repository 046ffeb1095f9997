#include "ModuleModel.h"

#include "ModuleProtocol.h"
#include "NetworkRecord.h"

namespace vqx::sim {

namespace {
using namespace vqx::module;

// The bits a client must ignore, as strict mode shows them.
constexpr std::uint16_t kOtherBitsV1Byte = 0xFC;   // status byte: all but done and success
constexpr std::uint16_t kOtherBitsV1High = 0x5A00; // the high byte of that word
constexpr std::uint16_t kOtherBitsV2 = 0x5AF3;     // status word: all but bits 2 and 3
constexpr std::uint16_t kOtherBitsData = 0xA500;   // data register words: the high byte

std::string hex32(std::uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        s += digits[(v >> shift) & 0xF];
    return s;
}
} // namespace

void ModuleModel::reject(const std::string& why) {
    ++m_rejections;
    m_lastRejection = why;
    if (m_onReject)
        m_onReject(why);
}

ModuleModel::ModuleModel(Variant variant) : m_variant(variant) {}

std::array<std::uint8_t, 12> ModuleModel::record() const {
    std::array<std::uint8_t, 12> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = m_eeprom[vqx::kRecordFirstAddress + i];
    return bytes;
}

void ModuleModel::setRecord(const std::array<std::uint8_t, 12>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        m_eeprom[vqx::kRecordFirstAddress + i] = bytes[i];
}

void ModuleModel::writeRegister(std::uint8_t reg, std::uint32_t value) {
    if (m_strict) {
        const bool v1 = m_variant == Variant::V1;
        if ((reg == kRegCommandV1 && !v1) || (reg == kRegCommandV2 && v1)) {
            reject("command word " + hex32(value) + " to register " + std::to_string(reg) +
                   ", the command register of the other controller variant");
            return;
        }
        const bool command = reg == (v1 ? kRegCommandV1 : kRegCommandV2);
        const bool oneDirection = isReadCommand(value) != isWriteCommand(value);
        if (command && ((value & kCommandReserved) != 0 || !oneDirection)) {
            reject("command word " + hex32(value) +
                   " with reserved bits set or not exactly one of read and write");
            return;
        }
        if (reg == kRegData && (value & ~kDataLanes) != 0) {
            reject("data word " + hex32(value) + " with bits set in 8..15 or 24..31");
            return;
        }
    }
    switch (reg) {
    case kRegControl:
        m_enabled = value == 1;
        break;
    case kRegData:
        m_writeFifo.push_back(static_cast<std::uint8_t>(value >> dataLaneShift(0)));
        m_writeFifo.push_back(static_cast<std::uint8_t>(value >> dataLaneShift(1)));
        break;
    case kRegCommandV1:
        if (m_variant == Variant::V1)
            startCommand(value);
        break;
    case kRegCommandV2:
        if (m_variant == Variant::V2)
            startCommand(value);
        break;
    default:
        break;
    }
}

void ModuleModel::startCommand(std::uint32_t word) {
    ++m_commands;
    const bool read = isReadCommand(word);
    const bool write = isWriteCommand(word);
    const std::uint32_t address = commandAddress(word);
    std::uint32_t count = commandCount(word);
    if (count == 0)
        count = 256;

    m_pollsLeft = write && !read && m_writeBusyPolls >= 0 ? m_writeBusyPolls : m_busyPolls;
    m_done = false;
    m_success = m_enabled && (read != write);

    bool touchesFailure = false;
    for (std::uint32_t i = 0; i < count; ++i)
        if (static_cast<int>((address + i) % kEepromSize) == m_faults.failAtAddress)
            touchesFailure = true;
    if (touchesFailure)
        m_success = false;

    if (read) {
        m_readData.clear();
        m_readPos = 0;
        if (m_success)
            for (std::uint32_t i = 0; i < count; ++i)
                m_readData.push_back(m_eeprom[(address + i) % kEepromSize]);
    } else if (write) {
        // A write takes its bytes from the data register; a short FIFO writes zeros.
        std::vector<std::uint8_t> bytes;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint8_t b = 0;
            if (!m_writeFifo.empty()) {
                b = m_writeFifo.front();
                m_writeFifo.pop_front();
            }
            bytes.push_back(b);
        }
        if (m_success && !m_faults.ignoreWrites)
            for (std::uint32_t i = 0; i < count; ++i)
                m_eeprom[(address + i) % kEepromSize] = bytes[i];
    }
    m_writeFifo.clear();
}

std::uint8_t ModuleModel::statusBits() const {
    const bool done = m_done && !m_faults.neverDone;
    return static_cast<std::uint8_t>((done ? 1 : 0) | (done && m_success ? 2 : 0));
}

std::vector<std::uint16_t> ModuleModel::readRegister(std::uint8_t reg, std::uint32_t count) {
    if (m_strict && (reg == kRegStatusV1 || reg == kRegStatusV2) &&
        (reg == kRegStatusV1) != (m_variant == Variant::V1)) {
        reject("read of register " + std::to_string(reg) +
               ", the status register of the other controller variant");
        return {};
    }
    std::vector<std::uint16_t> words(count, 0);
    if (count == 0)
        return words;
    switch (reg) {
    case kRegStatusV1:
    case kRegStatusV2: {
        ++m_statusReads;
        if (!m_done) {
            if (m_pollsLeft > 0)
                --m_pollsLeft;
            else
                m_done = true;
        }
        const std::uint8_t s = statusBits();
        const bool done = s & 1;
        const bool ok = (s & 2) || (!done && m_faults.successWhileBusy);
        if (reg == kRegStatusV1) {
            if (m_strict)
                for (std::uint32_t i = 0; i < count && i < 5; ++i)
                    words[i] = static_cast<std::uint16_t>(0x1111u * (i + 1));
            const std::uint16_t byte =
                static_cast<std::uint16_t>(vqx::module::statusBits(kVariant1, done, ok) |
                                           (m_strict ? kOtherBitsV1High | kOtherBitsV1Byte : 0));
            if (count >= statusWords(kVariant1))
                words[kStatusByteV1 / 2] = byte;
        } else {
            words[kStatusByteV2 / 2] = static_cast<std::uint16_t>(
                vqx::module::statusBits(kVariant2, done, ok) | (m_strict ? kOtherBitsV2 : 0));
        }
        break;
    }
    case kRegVersion:
        words[0] = m_firmwareWord;
        if (count >= 2)
            words[1] = m_variant == Variant::V2 ? vqx::module::kVersionVariant2 : kVersionVariant1;
        break;
    case kRegData:
        for (auto& w : words)
            w = static_cast<std::uint16_t>(
                (m_readPos < m_readData.size() ? m_readData[m_readPos++] : 0) |
                (m_strict ? kOtherBitsData : 0));
        break;
    default:
        break;
    }
    return words;
}

} // namespace vqx::sim
