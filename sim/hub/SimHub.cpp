#include "SimHub.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "DriverFactory.h"
#include "ModuleProtocol.h"
#include "ModuleTypes.h"
#include "UsbFraming.h"

using namespace vqx::usb;
namespace fr = vqx::usb::framing;

namespace vqx::sim {

namespace {

/// One driver call at a time, over every SimHubDriver: the drivers of several threads (a
/// window's hub read beside the dialog's) share the hubs, as the vendor's library, which is
/// thread-safe, lets them share the devices.
std::recursive_mutex& driverCalls() {
    static std::recursive_mutex m;
    return m;
}

} // namespace

namespace {

std::string hex2(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
    return text;
}

void copyText(char* dest, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

} // namespace

// ---- SimHub -----------------------------------------------------------------------------

SimHub::SimHub(std::string serial) : m_serial(std::move(serial)) {}

void SimHub::setSlot(int slot, int typeCode, std::shared_ptr<ModuleModel> module) {
    if (slot < 0 || slot >= fr::kSlotCount)
        return;
    const int shift = 4 * slot;
    m_slotTypes =
        (m_slotTypes & ~(0xFu << shift)) | (static_cast<std::uint32_t>(typeCode & 0xF) << shift);
    m_modules[slot] = std::move(module);
}

std::shared_ptr<ModuleModel> SimHub::module(int slot) const {
    return slot >= 0 && slot < fr::kSlotCount ? m_modules[slot] : nullptr;
}

int SimHub::slotType(int slot) const {
    return slot >= 0 && slot < fr::kSlotCount
               ? vqx::usb::slotTypes(m_slotTypes)[static_cast<std::size_t>(slot)]
               : 0;
}

std::vector<std::uint8_t> SimHub::wire() const {
    std::vector<std::uint8_t> all;
    for (const auto& w : m_writes)
        all.insert(all.end(), w.begin(), w.end());
    return all;
}

void SimHub::clearLog() {
    m_calls.clear();
    m_writes.clear();
    m_accesses.clear();
    m_statusReads = 0;
    m_writeCalls = 0;
    m_readCalls = 0;
    m_writeRun = 0;
    m_readRun = 0;
}

void SimHub::receive(const std::uint8_t* data, std::size_t size) {
    m_writes.emplace_back(data, data + size);
    for (std::size_t i = 0; i < size; ++i)
        feed(data[i]);
}

std::size_t SimHub::takeReply(std::uint8_t* data, std::size_t max) {
    const std::size_t n = std::min(max, m_reply.size());
    for (std::size_t i = 0; i < n; ++i) {
        data[i] = m_reply.front();
        m_reply.pop_front();
    }
    return n;
}

FT_STATUS SimHub::write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) {
    const int call = m_writeCalls++;
    *written = 0;
    if (call == m_faults.failWriteCall)
        return m_faults.writeStatus;
    if (m_faults.zeroByteWrites)
        return FT_OK;
    std::uint32_t n = size;
    if (m_faults.writeLimit != 0)
        n = std::min(n, m_faults.writeLimit);
    if (m_faults.writeEmptyRun > 0) {
        if (m_writeRun < m_faults.writeEmptyRun) {
            ++m_writeRun;
            return FT_OK;
        }
        m_writeRun = 0;
        n = std::min(n, 1u);
    }
    m_writes.emplace_back(data, data + n);
    for (std::uint32_t i = 0; i < n; ++i)
        feed(data[i]);
    *written = n;
    return FT_OK;
}

FT_STATUS SimHub::read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) {
    const int call = m_readCalls++;
    *got = 0;
    if (call == m_faults.failReadCall)
        return m_faults.readStatus;
    if (m_faults.zeroByteReads)
        return FT_OK;
    // What has not arrived when the read time-out passes is simply not returned.
    std::uint32_t n = std::min<std::uint32_t>(
        size, static_cast<std::uint32_t>(std::min<std::size_t>(m_reply.size(), UINT32_MAX)));
    if (m_faults.readLimit != 0)
        n = std::min(n, m_faults.readLimit);
    if (m_faults.readEmptyRun > 0) {
        if (m_readRun < m_faults.readEmptyRun) {
            ++m_readRun;
            return FT_OK;
        }
        m_readRun = 0;
        n = std::min(n, 1u);
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        data[i] = m_reply.front();
        m_reply.pop_front();
    }
    *got = n;
    return FT_OK;
}

void SimHub::purgeB(std::uint32_t mask) {
    if (mask & FT_PURGE_RX)
        m_reply.clear();
    if (mask & FT_PURGE_TX) {
        m_header = -1;
        m_pending.clear();
    }
}

void SimHub::feed(std::uint8_t byte) {
    if (byte & 0x80) { // a header byte starts a new request; an unfinished one is dropped
        m_header = byte;
        m_pending.clear();
        return;
    }
    if (m_header < 0)
        return; // stray byte between requests
    m_pending.push_back(byte);
    if (m_pending.size() < 5)
        return;
    const auto reg = static_cast<std::uint8_t>(m_header & 0x3F);
    if (m_header & 0x40) {
        // A read request: four count bytes and a zero byte.
        readRegister(reg, fr::decodeReadCount(m_pending.data()));
        m_header = -1;
    } else {
        writeRegister(reg, fr::decodeWord(m_pending.data()));
    }
    m_pending.clear();
}

void SimHub::writeRegister(std::uint8_t reg, std::uint32_t word) {
    switch (reg) {
    case fr::kHubRegCommand:
        startSlotAccess(word);
        break;
    case fr::kHubRegWriteData:
        m_writeData = word;
        break;
    default:
        break;
    }
}

void SimHub::readRegister(std::uint8_t reg, std::uint32_t count) {
    if (m_faults.silent || m_reply.size() + 2 * std::size_t{count} > kMaxQueuedReply)
        return;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint16_t word = 0;
        switch (reg) {
        case fr::kHubRegStatus:
            word = pollStatus();
            break;
        case fr::kHubRegReadData:
            word = m_readData;
            break;
        case fr::kHubRegSlotTypes:
            word = i == 0   ? static_cast<std::uint16_t>(m_slotTypes & 0xFFFF)
                   : i == 1 ? static_cast<std::uint16_t>(m_slotTypes >> 16)
                            : 0;
            break;
        default:
            break;
        }
        m_reply.push_back(static_cast<std::uint8_t>(word & 0xFF));
        m_reply.push_back(static_cast<std::uint8_t>(word >> 8));
    }
}

void SimHub::startSlotAccess(std::uint32_t command) {
    SlotAccess access;
    const std::uint32_t select = (command >> 10) & 0x3F;
    for (int s = 0; s < fr::kSlotCount; ++s)
        if (select == (1u << s))
            access.slot = s;
    access.read = (command & fr::kSlotReadFlag) != 0;
    access.reg = static_cast<std::uint8_t>(command & 0xFF & ~fr::kSlotReadFlag);

    bool ok = access.slot >= 0 && m_modules[access.slot] && access.reg != m_faults.failRegister;
    if (ok) {
        ModuleModel& module = *m_modules[access.slot];
        if (access.read) {
            // A read the module refuses (strict mode) gets no word: the access fails.
            const std::vector<std::uint16_t> words = module.readRegister(access.reg, 1);
            ok = !words.empty();
            m_readData = ok ? words[0] : 0;
            access.value = m_readData;
        } else {
            module.writeRegister(access.reg, m_writeData);
            access.value = m_writeData;
        }
    }
    m_accesses.push_back(access);
    m_status = ok ? fr::kStatusDone : fr::kStatusFailed;
    if (m_faults.forcedStatus >= 0)
        m_status = static_cast<std::uint16_t>(m_faults.forcedStatus);
    m_pollsLeft = m_faults.busyPolls;
}

std::uint16_t SimHub::pollStatus() {
    ++m_statusReads;
    const auto busy = static_cast<std::uint16_t>(m_faults.busyStatus & ~0x3u);
    if (m_faults.neverFinish)
        return busy;
    if (m_pollsLeft > 0) {
        --m_pollsLeft;
        return busy;
    }
    return m_status;
}

// ---- SimHubDriver -------------------------------------------------------------------------

SimHubDriver::SimHubDriver(std::shared_ptr<SimHub> hub)
    : SimHubDriver(std::vector<std::shared_ptr<SimHub>>{std::move(hub)}) {}

SimHubDriver::SimHubDriver(std::vector<std::shared_ptr<SimHub>> hubs) : m_hubs(std::move(hubs)) {
    std::erase(m_hubs, nullptr);
}

SimHubDriver::~SimHubDriver() {
    // Handles left open are closed with the driver, as the library does at process end.
    for (auto& [h, handle] : m_handles)
        if (handle->hub)
            (handle->channel == 'A' ? handle->hub->m_openA : handle->hub->m_openB) = false;
}

void SimHubDriver::addEntry(const DeviceListNode& node, bool inFront) {
    m_extras.emplace_back(node, inFront);
    m_extraOpen.push_back(false);
}

std::vector<SimHubDriver::Entry> SimHubDriver::entries() const {
    std::vector<Entry> list;
    auto addExtras = [&](bool front) {
        for (std::size_t i = 0; i < m_extras.size(); ++i)
            if (m_extras[i].second == front) {
                Entry e;
                e.node = m_extras[i].first;
                e.extra = i;
                list.push_back(e);
            }
    };
    addExtras(true);
    for (const auto& hub : m_hubs) {
        Entry a, b;
        a.hub = b.hub = hub.get();
        a.channel = 'A';
        b.channel = 'B';
        a.node.ID = SimHub::kId;
        b.node.ID = hub->m_faults.partnerId ? hub->m_faults.partnerId : SimHub::kId;
        a.node.Type = b.node.Type = 6; // FT_DEVICE_2232H
        copyText(a.node.SerialNumber, sizeof a.node.SerialNumber, hub->serial() + "A");
        copyText(b.node.SerialNumber, sizeof b.node.SerialNumber, hub->serial() + "B");
        copyText(a.node.Description, sizeof a.node.Description, "VQX250 Hub A");
        copyText(b.node.Description, sizeof b.node.Description, "VQX250 Hub B");
        a.node.Flags = hub->m_openA ? 1 : 0;
        b.node.Flags = hub->m_openB ? 1 : 0;
        if (hub->m_faults.missingPartner)
            list.push_back(a);
        else if (hub->m_faults.partnerFirst) {
            list.push_back(b);
            list.push_back(a);
        } else {
            list.push_back(a);
            list.push_back(b);
        }
    }
    addExtras(false);
    return list;
}

FT_STATUS SimHubDriver::CreateDeviceInfoList(std::uint32_t* numDevs) {
    const std::lock_guard lock(driverCalls());
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    if (m_faults.createList != FT_OK)
        return m_faults.createList;
    *numDevs = m_faults.reportedCount >= 0 ? static_cast<std::uint32_t>(m_faults.reportedCount)
                                           : static_cast<std::uint32_t>(entries().size());
    return FT_OK;
}

FT_STATUS SimHubDriver::GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) {
    const std::lock_guard lock(driverCalls());
    if (!list || !numDevs)
        return FT_INVALID_PARAMETER;
    if (m_faults.getList != FT_OK)
        return m_faults.getList;
    const auto all = entries();
    const std::size_t n = std::min<std::size_t>(*numDevs, all.size());
    for (std::size_t i = 0; i < n; ++i)
        list[i] = all[i].node;
    *numDevs = static_cast<std::uint32_t>(n);
    return FT_OK;
}

FT_STATUS SimHubDriver::Open(int deviceIndex, FT_HANDLE* handle) {
    const std::lock_guard lock(driverCalls());
    if (!handle)
        return FT_INVALID_PARAMETER;
    const auto all = entries();
    if (deviceIndex < 0 || static_cast<std::size_t>(deviceIndex) >= all.size())
        return FT_DEVICE_NOT_FOUND;
    const Entry& e = all[static_cast<std::size_t>(deviceIndex)];
    auto h = std::make_unique<Handle>();
    if (e.hub) {
        SimHub& hub = *e.hub;
        hub.log(std::string("Open ") + e.channel);
        const FT_STATUS st = e.channel == 'A' ? hub.m_faults.openA : hub.m_faults.openB;
        if (st != FT_OK)
            return st;
        bool& open = e.channel == 'A' ? hub.m_openA : hub.m_openB;
        if (open)
            return FT_DEVICE_NOT_OPENED;
        open = true;
        h->hub = e.hub;
        h->channel = e.channel;
    } else {
        if (m_extraOpen[e.extra])
            return FT_DEVICE_NOT_OPENED;
        m_extraOpen[e.extra] = true;
        h->extra = e.extra;
    }
    *handle = h.get();
    m_handles.emplace(h.get(), std::move(h));
    return FT_OK;
}

SimHubDriver::Handle* SimHubDriver::find(FT_HANDLE handle) {
    const auto it = m_handles.find(handle);
    return it == m_handles.end() ? nullptr : it->second.get();
}

FT_STATUS SimHubDriver::Close(FT_HANDLE handle) {
    const std::lock_guard lock(driverCalls());
    Handle* h = find(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (h->hub) {
        h->hub->log(std::string("Close ") + h->channel);
        (h->channel == 'A' ? h->hub->m_openA : h->hub->m_openB) = false;
    } else {
        m_extraOpen[h->extra] = false;
    }
    m_handles.erase(handle);
    return FT_OK;
}

FT_STATUS SimHubDriver::SetTimeouts(FT_HANDLE handle, std::uint32_t readMs, std::uint32_t writeMs) {
    const std::lock_guard lock(driverCalls());
    Handle* h = find(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (!h->hub)
        return FT_OK;
    h->hub->log(std::string("SetTimeouts ") + h->channel + " " + std::to_string(readMs) + " " +
                std::to_string(writeMs));
    return h->channel == 'A' ? h->hub->m_faults.setTimeoutsA : h->hub->m_faults.setTimeoutsB;
}

FT_STATUS SimHubDriver::Purge(FT_HANDLE handle, std::uint32_t mask) {
    const std::lock_guard lock(driverCalls());
    Handle* h = find(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (!h->hub)
        return FT_OK;
    h->hub->log(std::string("Purge ") + h->channel + " " + std::to_string(mask));
    const FT_STATUS st = h->channel == 'A' ? h->hub->m_faults.purgeA : h->hub->m_faults.purgeB;
    if (st == FT_OK && h->channel == 'B')
        h->hub->purgeB(mask);
    return st;
}

FT_STATUS SimHubDriver::SetBaudRate(FT_HANDLE handle, std::uint32_t baud) {
    const std::lock_guard lock(driverCalls());
    Handle* h = find(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (!h->hub)
        return FT_OK;
    h->hub->log(std::string("SetBaudRate ") + h->channel + " " + std::to_string(baud));
    return h->channel == 'A' ? h->hub->m_faults.baudRateA : FT_OK;
}

FT_STATUS SimHubDriver::SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    const std::lock_guard lock(driverCalls());
    Handle* h = find(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (!h->hub)
        return FT_OK;
    h->hub->log(std::string("SetBitMode ") + h->channel + " " + hex2(mask) + " " + hex2(mode));
    return h->channel == 'A' ? h->hub->m_faults.bitModeA : FT_OK;
}

FT_STATUS SimHubDriver::Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                              std::uint32_t* bytesWritten) {
    const std::lock_guard lock(driverCalls());
    Handle* h = find(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (!bytesWritten || (!buffer && bytesToWrite))
        return FT_INVALID_PARAMETER;
    if (!h->hub || h->channel == 'A') {
        if (h->hub)
            h->hub->log(std::string("Write A ") + std::to_string(bytesToWrite));
        *bytesWritten = bytesToWrite; // channel A and other devices swallow everything
        return FT_OK;
    }
    return h->hub->write(static_cast<const std::uint8_t*>(buffer), bytesToWrite, bytesWritten);
}

FT_STATUS SimHubDriver::Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                             std::uint32_t* bytesReturned) {
    const std::lock_guard lock(driverCalls());
    Handle* h = find(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (!bytesReturned || (!buffer && bytesToRead))
        return FT_INVALID_PARAMETER;
    if (!h->hub || h->channel == 'A') {
        if (h->hub)
            h->hub->log(std::string("Read A ") + std::to_string(bytesToRead));
        *bytesReturned = 0;
        return FT_OK;
    }
    return h->hub->read(static_cast<std::uint8_t*>(buffer), bytesToRead, bytesReturned);
}

// ---- Demo hub and registration ------------------------------------------------------------

std::shared_ptr<SimHub> makeHub(const std::array<int, 6>& types, std::string serial) {
    auto hub = std::make_shared<SimHub>(std::move(serial));
    for (int slot = 0; slot < fr::kSlotCount; ++slot) {
        const int type = types[static_cast<std::size_t>(slot)];
        if (type == 0) {
            hub->setSlot(slot, 0, nullptr);
            continue;
        }
        auto module = std::make_shared<ModuleModel>(
            static_cast<ModuleModel::Variant>(vqx::module::variantFromType(type)));
        // Each address is stored last octet first: gateway, mask, IP address.
        module->setRecord(
            {1, 1, 168, 192, 0, 255, 255, 255, static_cast<std::uint8_t>(101 + slot), 1, 168, 192});
        hub->setSlot(slot, type, std::move(module));
    }
    return hub;
}

std::shared_ptr<SimHub> makeDemoHub(std::string serial) {
    return makeHub({1, 2, 3, 9, 5, 0}, std::move(serial));
}

void registerSimDriver(const std::shared_ptr<SimHub>& hub) {
    vqx::usb::registerDriver("sim", [hub] { return std::make_unique<SimHubDriver>(hub); });
}

} // namespace vqx::sim
