#include "CUsbHub.h"

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "DriverFactory.h"
#include "ModuleProtocol.h"
#include "UsbFraming.h"

using namespace vqx::usb;
namespace fr = vqx::usb::framing;
namespace mod = vqx::module;

// Decisions of this link beyond the hub's protocol:
//
// * Empty transfers. FT_Write and FT_Read return after their 1000 ms time-out with whatever
//   moved. A chunk is continued after a partial transfer, but kMaxEmptyCalls consecutive
//   calls that move no byte at all end the operation with kTransferStalled (-20), so a hub
//   that stops reading or answering holds the caller for about ten seconds instead of for
//   ever. The count restarts whenever a call moves at least one byte.
// * After a read stalls. When a read gives up with kTransferStalled, the rest of the reply
//   may still come in, and would be taken as the start of the next reply. The receive buffer
//   of channel B is therefore purged (FT_Purge with FT_PURGE_RX) before -20 is returned; the
//   purge's own status is not reported. Bytes that arrive after the purge cannot be told
//   apart from a reply; the next Open purges again. A read ended by a driver status keeps
//   the receive buffer as it is.
// * Slot-bus status poll. At most kMaxStatusPolls reads of hub register 0 follow a slot
//   command; if none of them sets bit 0 or bit 1 the access ends with kSlotPollTimeout (-21).
//   A hub finishes a slot access within one or two polls; the bound only stops a hub or
//   module that never finishes.
// * Slot index. An index outside 0..5 is refused with kBadSlot (-22) before anything is sent.
//   A slot whose type says "no module" runs the same sequence as any other: the hub's status
//   then reports the failed access (kSlotAccessFailed).
// * Device list array. When N exceeds kMaxListEntries (far beyond what USB can attach; a
//   driver reporting more is taken as broken), CountHubs and Open return kListTooLong (-24);
//   when the array of N list nodes cannot be allocated, kOutOfMemory (-23). CountHubs then
//   leaves the count unwritten; Open has already closed a hub that was open (its first step) and
//   leaves it closed, with no channel open.

namespace {

constexpr std::uint32_t kTimeoutMs = 1000;
constexpr std::uint32_t kBaudRate = 115200;
constexpr std::uint8_t kBitModeMask = 0x00;
constexpr std::uint32_t kEepromWaitMs = 100;

/// Length of a node's serial number: up to the terminating zero, at most 16 characters.
std::size_t serialLength(const DeviceListNode& node) {
    return strnlen(node.SerialNumber, sizeof node.SerialNumber);
}

bool isHubEntry(const DeviceListNode& node) {
    const std::size_t n = serialLength(node);
    return node.ID == CUsbHub::kHubId && n > 0 && node.SerialNumber[n - 1] == 'A';
}

std::string serialOf(const DeviceListNode& node) {
    return std::string(node.SerialNumber, serialLength(node));
}

} // namespace

struct CUsbHub::Private {
    std::unique_ptr<D2xxDriver> driver;
    std::string driverError; ///< why there is no driver
    std::function<void(unsigned)> sleep;
    FT_HANDLE channelA = nullptr;
    FT_HANDLE channelB = nullptr;
    bool open = false;
    std::string openedSerial;      ///< channel A's serial number while open
    bool commandReached = false;   ///< see CommandReached
    bool slotCommandMoved = false; ///< the last WriteSlotReg's slot command went (partly) out
    std::size_t lastSendMoved = 0; ///< bytes the driver took of the last sendAll

    /// Reads the device list into `nodes`; 0, a D2XX status (FT_DEVICE_NOT_FOUND without a
    /// driver), kListTooLong or kOutOfMemory. An empty list is 0 with `count` 0.
    int readList(std::unique_ptr<DeviceListNode[]>& nodes, std::uint32_t& count);
    int sendAll(const std::uint8_t* bytes, std::size_t length);
    int receiveAll(std::uint8_t* bytes, std::size_t length);
};

int CUsbHub::Private::readList(std::unique_ptr<DeviceListNode[]>& nodes, std::uint32_t& count) {
    if (!driver)
        return static_cast<int>(FT_DEVICE_NOT_FOUND);
    std::uint32_t n = 0;
    if (const FT_STATUS st = driver->CreateDeviceInfoList(&n); st != FT_OK)
        return static_cast<int>(st);
    count = n;
    if (n == 0)
        return 0;
    if (n > kMaxListEntries)
        return kListTooLong;
    nodes.reset(new (std::nothrow) DeviceListNode[n]);
    if (!nodes)
        return kOutOfMemory;
    std::uint32_t filled = n;
    if (const FT_STATUS st = driver->GetDeviceInfoList(nodes.get(), &filled); st != FT_OK) {
        nodes.reset();
        return static_cast<int>(st);
    }
    count = filled < n ? filled : n;
    return 0;
}

int CUsbHub::Private::sendAll(const std::uint8_t* bytes, std::size_t length) {
    std::size_t& sent = lastSendMoved;
    sent = 0;
    int emptyCalls = 0;
    while (sent < length) {
        std::uint32_t written = 0;
        const auto chunk = static_cast<std::uint32_t>(length - sent);
        if (const FT_STATUS st = driver->Write(channelB, bytes + sent, chunk, &written);
            st != FT_OK)
            return static_cast<int>(st);
        if (written > chunk)
            written = chunk; // a driver claiming more than offered is not believed
        if (written == 0) {
            if (++emptyCalls >= kMaxEmptyCalls)
                return kTransferStalled;
            continue;
        }
        emptyCalls = 0;
        sent += written;
    }
    return 0;
}

int CUsbHub::Private::receiveAll(std::uint8_t* bytes, std::size_t length) {
    std::size_t received = 0;
    int emptyCalls = 0;
    while (received < length) {
        std::uint32_t got = 0;
        const auto chunk = static_cast<std::uint32_t>(length - received);
        if (const FT_STATUS st = driver->Read(channelB, bytes + received, chunk, &got); st != FT_OK)
            return static_cast<int>(st);
        if (got > chunk)
            got = chunk;
        if (got == 0) {
            if (++emptyCalls >= kMaxEmptyCalls) {
                driver->Purge(channelB, FT_PURGE_RX); // late reply bytes must not linger
                return kTransferStalled;
            }
            continue;
        }
        emptyCalls = 0;
        received += got;
    }
    return 0;
}

CUsbHub::CUsbHub(std::unique_ptr<D2xxDriver> driver) : d(std::make_unique<Private>()) {
    d->sleep = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    SetDriver(std::move(driver));
}

CUsbHub::~CUsbHub() {
    Close();
}

void CUsbHub::SetDriver(std::unique_ptr<D2xxDriver> driver) {
    Close();
    d->driverError.clear();
    if (!driver) {
        std::string why;
        driver = createDriver("auto", &why);
        if (!driver)
            d->driverError = why.empty() ? "no USB driver is available" : why;
    }
    d->driver = std::move(driver);
}

std::string CUsbHub::DriverError() const {
    return d->driverError;
}

D2xxDriver* CUsbHub::Driver() const {
    return d->driver.get();
}

void CUsbHub::SetSleep(std::function<void(unsigned ms)> sleep) {
    if (sleep)
        d->sleep = std::move(sleep);
}

int CUsbHub::CountHubs(std::uint8_t& count) {
    std::unique_ptr<DeviceListNode[]> nodes;
    std::uint32_t n = 0;
    if (const int rc = d->readList(nodes, n); rc != 0)
        return rc;
    std::uint8_t hubs = 0; // an 8-bit counter, as the count it fills
    for (std::uint32_t i = 0; i < n; ++i)
        if (isHubEntry(nodes[i]))
            ++hubs;
    count = hubs;
    return 0;
}

int CUsbHub::HubSerial(std::uint8_t index, std::string& serial) {
    std::unique_ptr<DeviceListNode[]> nodes;
    std::uint32_t n = 0;
    if (const int rc = d->readList(nodes, n); rc != 0)
        return rc;
    int hubsSeen = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isHubEntry(nodes[i]))
            continue;
        if (hubsSeen++ == index) {
            serial = serialOf(nodes[i]);
            serial.pop_back(); // the channel letter
            return 0;
        }
    }
    return kNoHub;
}

int CUsbHub::Open(std::uint8_t index) {
    if (d->open)
        Close();
    std::unique_ptr<DeviceListNode[]> nodes;
    std::uint32_t n = 0;
    if (const int rc = d->readList(nodes, n); rc != 0)
        return rc;
    if (n == 0)
        return kNoHub;

    // First scan: the channel A entry with the requested hub number.
    std::string partner;
    int hubsSeen = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!isHubEntry(nodes[i]))
            continue;
        if (hubsSeen == index) {
            if (const FT_STATUS st = d->driver->Open(static_cast<int>(i), &d->channelA);
                st != FT_OK) {
                d->channelA = nullptr;
                return static_cast<int>(st);
            }
            partner = serialOf(nodes[i]);
            d->openedSerial = partner;
            partner.back() = 'B';
            break;
        }
        ++hubsSeen;
    }
    if (partner.empty())
        return kNoHub;

    // Second scan: the partner may stand before or after channel A; its ID is not examined.
    bool foundB = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (serialOf(nodes[i]) != partner)
            continue;
        if (const FT_STATUS st = d->driver->Open(static_cast<int>(i), &d->channelB); st != FT_OK) {
            d->driver->Close(d->channelA);
            d->channelA = d->channelB = nullptr;
            return static_cast<int>(st);
        }
        foundB = true;
        break;
    }
    nodes.reset();
    if (!foundB) {
        d->driver->Close(d->channelA);
        d->channelA = nullptr;
        return kNoHub;
    }

    // Both channels are open from here on, whatever the configuration returns.
    d->open = true;
    D2xxDriver& drv = *d->driver;
    if (drv.SetTimeouts(d->channelA, kTimeoutMs, kTimeoutMs) != FT_OK)
        return kSetTimeoutsFailed;
    if (drv.Purge(d->channelA, FT_PURGE_RX | FT_PURGE_TX) != FT_OK)
        return kPurgeFailed;
    if (drv.SetBaudRate(d->channelA, kBaudRate) != FT_OK)
        return kSetBaudRateFailed;
    if (drv.SetBitMode(d->channelA, kBitModeMask, FT_BITMODE_SYNC_BITBANG) != FT_OK)
        return kSetBitModeFailed;
    if (drv.SetTimeouts(d->channelB, kTimeoutMs, kTimeoutMs) != FT_OK)
        return kSetTimeoutsFailed;
    if (drv.Purge(d->channelB, FT_PURGE_RX | FT_PURGE_TX) != FT_OK)
        return kPurgeFailed;
    return 0;
}

void CUsbHub::Close() {
    if (!d->open)
        return;
    d->driver->Close(d->channelA);
    d->driver->Close(d->channelB);
    d->channelA = d->channelB = nullptr;
    d->open = false;
    d->openedSerial.clear();
}

bool CUsbHub::IsOpen() const {
    return d->open;
}

int CUsbHub::WriteRegs(std::uint8_t reg, const std::uint32_t* words, std::uint32_t count) {
    std::vector<std::uint8_t> request;
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t n = std::min(count - done, fr::kMaxWordsPerRequest);
        request.clear();
        fr::appendWriteRequest(request, reg, words + done, n);
        if (const int rc = d->sendAll(request.data(), request.size()); rc != 0)
            return rc;
        done += n;
    }
    return 0;
}

int CUsbHub::ReadRegs(std::uint8_t reg, std::uint8_t* buffer, std::uint32_t count) {
    const auto request = fr::readRequest(reg, count);
    if (const int rc = d->sendAll(request.data(), request.size()); rc != 0)
        return rc;
    const std::size_t length = 2 * std::size_t{count & fr::kCountMask};
    if (length == 0)
        return 0;
    return d->receiveAll(buffer, length);
}

int CUsbHub::PollSlotStatus(std::uint32_t& status) {
    for (int poll = 0; poll < kMaxStatusPolls; ++poll) {
        std::uint8_t bytes[2] = {};
        if (const int rc = ReadRegs(fr::kHubRegStatus, bytes, 1); rc != 0)
            return rc;
        status = static_cast<std::uint32_t>(bytes[0] | (bytes[1] << 8));
        if (status & (fr::kStatusDone | fr::kStatusFailed))
            return 0;
    }
    return kSlotPollTimeout;
}

int CUsbHub::WriteSlotReg(int slot, std::uint8_t reg, std::uint32_t value) {
    d->slotCommandMoved = false;
    if (slot < 0 || slot >= fr::kSlotCount)
        return kBadSlot;
    if (const int rc = WriteRegs(fr::kHubRegWriteData, &value, 1); rc != 0)
        return rc;
    const std::uint32_t command = fr::slotCommand(slot, reg, false);
    const int sent = WriteRegs(fr::kHubRegCommand, &command, 1);
    d->slotCommandMoved = d->lastSendMoved > 0;
    if (sent != 0)
        return sent;
    std::uint32_t status = 0;
    if (const int rc = PollSlotStatus(status); rc != 0)
        return rc;
    return (status & fr::kStatusDone) ? 0 : kSlotAccessFailed;
}

int CUsbHub::ReadSlotReg(int slot, std::uint8_t reg, std::uint16_t& value) {
    if (slot < 0 || slot >= fr::kSlotCount)
        return kBadSlot;
    const std::uint32_t command = fr::slotCommand(slot, reg, true);
    if (const int rc = WriteRegs(fr::kHubRegCommand, &command, 1); rc != 0)
        return rc;
    std::uint32_t status = 0;
    if (const int rc = PollSlotStatus(status); rc != 0)
        return rc;
    if (status & fr::kStatusFailed)
        return kSlotAccessFailed;
    std::uint8_t bytes[2] = {};
    if (const int rc = ReadRegs(fr::kHubRegReadData, bytes, 1); rc != 0)
        return rc;
    value = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    return 0;
}

int CUsbHub::ReadSlotTypes(std::array<int, kSlotCount>& types) {
    std::uint8_t b[4] = {};
    if (const int rc = ReadRegs(fr::kHubRegSlotTypes, b, 2); rc != 0)
        return rc;
    types = slotTypes(slotTypeWord(b));
    return 0;
}

// The start every slot EEPROM transfer shares: the slot checked, its command register
// chosen from the slot-type word (read afresh), and the module's control register set to 1.
int CUsbHub::BeginSlotEeprom(int slot, std::uint8_t& commandReg) {
    d->commandReached = false;
    if (slot < 0 || slot >= fr::kSlotCount)
        return kBadSlot;
    std::array<int, kSlotCount> types{};
    if (const int rc = ReadSlotTypes(types); rc != 0)
        return rc;
    commandReg = mod::commandRegister(mod::variantFromType(types[static_cast<std::size_t>(slot)]));
    return WriteSlotReg(slot, mod::kRegControl, 1);
}

// Writes the EEPROM command word to the module's command register, noting whether the slot
// command that carries it reached the hub.
int CUsbHub::SendSlotEepromCommand(int slot, std::uint8_t commandReg, std::uint32_t command) {
    const int rc = WriteSlotReg(slot, commandReg, command);
    d->commandReached = d->slotCommandMoved;
    return rc;
}

int CUsbHub::ReadSlotEeprom(int slot, std::uint16_t address, std::uint8_t& byte) {
    std::uint8_t commandReg = 0;
    if (const int rc = BeginSlotEeprom(slot, commandReg); rc != 0)
        return rc;
    if (const int rc =
            SendSlotEepromCommand(slot, commandReg, mod::eepromCommand(false, address, 1));
        rc != 0)
        return rc;
    d->sleep(kEepromWaitMs);
    std::uint16_t value = 0;
    if (const int rc = ReadSlotReg(slot, mod::kRegData, value); rc != 0)
        return rc;
    byte = mod::dataByte(value);
    return 0;
}

int CUsbHub::WriteSlotEeprom(int slot, std::uint16_t address, std::uint8_t data) {
    std::uint8_t commandReg = 0;
    if (const int rc = BeginSlotEeprom(slot, commandReg); rc != 0)
        return rc;
    if (const int rc = WriteSlotReg(slot, mod::kRegData, data); rc != 0)
        return rc;
    if (const int rc =
            SendSlotEepromCommand(slot, commandReg, mod::eepromCommand(true, address, 1));
        rc != 0)
        return rc;
    d->sleep(kEepromWaitMs);
    return 0;
}

bool CUsbHub::CommandReached() const {
    return d->commandReached;
}

std::string CUsbHub::OpenedSerial() const {
    return d->open ? d->openedSerial : std::string();
}

int CUsbHub::ShownCode(int code) {
    return code == kSlotAccessFailed ? kSlotAccessShown : code;
}

const char* CUsbHub::Describe(int code) {
    switch (code) {
    case 0:
        return "success";
    case kNoHub:
        return "no hub found, or its channel B is missing from the device list";
    case kSetTimeoutsFailed:
        return "setting the time-outs of a hub channel failed";
    case kPurgeFailed:
        return "purging the buffers of a hub channel failed";
    case kSetBitModeFailed:
        return "setting the bit mode of hub channel A failed";
    case kSetBaudRateFailed:
        return "setting the baud rate of hub channel A failed";
    case kSlotAccessFailed:
        return "the hub reported a failed access to the slot module";
    case kTransferStalled:
        return "the USB transfer stalled: the driver kept moving no bytes";
    case kSlotPollTimeout:
        return "the slot access never finished: the hub's status stayed busy";
    case kBadSlot:
        return "slot index outside 0 to 5 (the slots shown as 1 to 6)";
    case kOutOfMemory:
        return "the device list could not be allocated";
    case kListTooLong:
        return "the driver reported an implausibly long device list";
    case static_cast<int>(FT_INVALID_HANDLE):
        return "D2XX: invalid handle";
    case static_cast<int>(FT_DEVICE_NOT_FOUND):
        return "D2XX: device not found";
    case static_cast<int>(FT_DEVICE_NOT_OPENED):
        return "D2XX: device not opened";
    case static_cast<int>(FT_IO_ERROR):
        return "D2XX: I/O error";
    case static_cast<int>(FT_INSUFFICIENT_RESOURCES):
        return "D2XX: insufficient resources";
    case static_cast<int>(FT_INVALID_PARAMETER):
        return "D2XX: invalid parameter";
    case static_cast<int>(FT_INVALID_BAUD_RATE):
        return "D2XX: invalid baud rate";
    case static_cast<int>(FT_INVALID_ARGS):
        return "D2XX: invalid arguments";
    case static_cast<int>(FT_NOT_SUPPORTED):
        return "D2XX: not supported";
    case static_cast<int>(FT_OTHER_ERROR):
        return "D2XX: other error";
    case static_cast<int>(FT_DEVICE_LIST_NOT_READY):
        return "D2XX: device list not ready";
    default:
        break;
    }
    if (code > 0 && *statusName(static_cast<FT_STATUS>(code)) != '\0')
        return "D2XX: driver error";
    return "unknown result code";
}
