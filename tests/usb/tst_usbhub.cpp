// CUsbHub against the simulated hub: discovery and opening, framing on the wire, the slot
// bus and its status poll, slot EEPROM transfers, and the driver factory.

#include <QtTest>
#include <algorithm>

#include <cstring>
#include <functional>

#include "CUsbHub.h"
#include "DriverFactory.h"
#include "SimHub.h"

using namespace vqx::usb;
using vqx::sim::ModuleModel;
using vqx::sim::SimHub;
using vqx::sim::SimHubDriver;

namespace {

QByteArray bytes(const std::vector<std::uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

QStringList calls(const SimHub& hub) {
    QStringList list;
    for (const auto& c : hub.calls())
        list << QString::fromStdString(c);
    return list;
}

DeviceListNode node(std::uint32_t id, const char* serial) {
    DeviceListNode n;
    n.ID = id;
    std::strncpy(n.SerialNumber, serial, sizeof n.SerialNumber - 1);
    return n;
}

const QStringList kConfiguration = {"Open A",
                                    "Open B",
                                    "SetTimeouts A 1000 1000",
                                    "Purge A 3",
                                    "SetBaudRate A 115200",
                                    "SetBitMode A 0x00 0x04",
                                    "SetTimeouts B 1000 1000",
                                    "Purge B 3"};

/// A hub link on simulated hubs, with the 100 ms waits recorded instead of slept.
struct Rig {
    explicit Rig(std::vector<std::shared_ptr<SimHub>> hubs) {
        auto drv = std::make_unique<SimHubDriver>(std::move(hubs));
        driver = drv.get();
        usb = std::make_unique<CUsbHub>(std::move(drv));
        usb->SetSleep([this](unsigned ms) { sleeps.push_back(ms); });
    }
    explicit Rig(std::shared_ptr<SimHub> hub = vqx::sim::makeDemoHub())
        : Rig(std::vector<std::shared_ptr<SimHub>>{std::move(hub)}) {}

    SimHubDriver* driver = nullptr;
    std::unique_ptr<CUsbHub> usb;
    std::vector<unsigned> sleeps;
};

/// A fault staged on the rig's driver or hub before the call under test.
using Fault = std::function<void(Rig& rig, SimHub& hub)>;

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestUsbHub : public QObject {
    Q_OBJECT
private slots:
    // ---- Counting and opening ----------------------------------------------------------

    void noDevice() {
        Rig rig(std::vector<std::shared_ptr<SimHub>>{});
        std::uint8_t count = 9;
        QCOMPARE(rig.usb->CountHubs(count), 0);
        QCOMPARE(int(count), 0);
        QCOMPARE(rig.usb->Open(0), CUsbHub::kNoHub);
        QVERIFY(!rig.usb->IsOpen());
    }

    void hubEntries_data() {
        QTest::addColumn<quint32>("id");
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<int>("count");
        QTest::newRow("hub id, ends in A") << 0x5A3C2207u << QByteArray("X1A") << 1;
        QTest::newRow("hub id, ends in B") << 0x5A3C2207u << QByteArray("X1B") << 0;
        QTest::newRow("other id, ends in A") << 0x04036010u << QByteArray("X1A") << 0;
        QTest::newRow("hub id, lower-case a") << 0x5A3C2207u << QByteArray("X1a") << 0;
        QTest::newRow("hub id, empty serial") << 0x5A3C2207u << QByteArray("") << 0;
        QTest::newRow("hub id, just A") << 0x5A3C2207u << QByteArray("A") << 1;
        QTest::newRow("hub id, 15 characters") << 0x5A3C2207u << QByteArray("ABCDEFGHIJKLMNA") << 1;
    }
    void hubEntries() {
        QFETCH(quint32, id);
        QFETCH(QByteArray, serial);
        QFETCH(int, count);
        Rig rig(std::vector<std::shared_ptr<SimHub>>{});
        rig.driver->addEntry(node(id, serial.constData()));
        std::uint8_t n = 99;
        QCOMPARE(rig.usb->CountHubs(n), 0);
        QCOMPARE(int(n), count);
    }

    void twoHubsInListOrder() {
        auto h1 = std::make_shared<SimHub>("H1");
        auto h2 = std::make_shared<SimHub>("H2");
        Rig rig({h1, h2});
        rig.driver->addEntry(node(0x04036001, "FTX1"), true); // another FTDI device first
        std::uint8_t count = 0;
        QCOMPARE(rig.usb->CountHubs(count), 0);
        QCOMPARE(int(count), 2);

        QCOMPARE(rig.usb->Open(0), 0);
        QVERIFY(h1->channelOpen('A') && h1->channelOpen('B'));
        QVERIFY(!h2->channelOpen('A') && !h2->channelOpen('B'));

        QCOMPARE(rig.usb->Open(1), 0);
        QVERIFY(!h1->channelOpen('A') && !h1->channelOpen('B'));
        QVERIFY(h2->channelOpen('A') && h2->channelOpen('B'));
        QCOMPARE(rig.driver->openHandles(), 2);

        QCOMPARE(rig.usb->Open(2), CUsbHub::kNoHub);
        QCOMPARE(rig.driver->openHandles(), 0);
        QVERIFY(!rig.usb->IsOpen());
    }

    void partnerFound_data() {
        QTest::addColumn<bool>("partnerFirst");
        QTest::addColumn<quint32>("partnerId");
        QTest::newRow("after A, same id") << false << 0u;
        QTest::newRow("before A") << true << 0u;
        QTest::newRow("other id") << false << 0x04036010u;
        QTest::newRow("before A, other id") << true << 0x04036010u;
    }
    void partnerFound() {
        QFETCH(bool, partnerFirst);
        QFETCH(quint32, partnerId);
        auto hub = vqx::sim::makeDemoHub();
        hub->faults().partnerFirst = partnerFirst;
        hub->faults().partnerId = partnerId;
        Rig rig(hub);
        std::uint8_t count = 0;
        QCOMPARE(rig.usb->CountHubs(count), 0);
        QCOMPARE(int(count), 1);
        QCOMPARE(rig.usb->Open(0), 0);
        QVERIFY(rig.usb->IsOpen());
        QCOMPARE(calls(*hub), kConfiguration);
    }

    void partnerMatchIsExact() {
        // Only "VQX25001B" is the partner of "VQX25001A": not "vqx25001B", not "VQX25001BB".
        auto hub = vqx::sim::makeDemoHub();
        hub->faults().missingPartner = true;
        Rig rig(hub);
        rig.driver->addEntry(node(SimHub::kId, "vqx25001B"), true);
        rig.driver->addEntry(node(SimHub::kId, "VQX25001BB"));
        QCOMPARE(rig.usb->Open(0), CUsbHub::kNoHub);
        QCOMPARE(rig.driver->openHandles(), 0);
    }

    void failuresLeaveNothingOpen_data() {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("expectedCalls");
        QTest::newRow("no partner")
            << Fault([](Rig&, SimHub& h) { h.faults().missingPartner = true; }) << CUsbHub::kNoHub
            << QStringList{"Open A", "Close A"};
        QTest::newRow("FT_Open A fails")
            << Fault([](Rig&, SimHub& h) { h.faults().openA = FT_DEVICE_NOT_OPENED; })
            << int(FT_DEVICE_NOT_OPENED) << QStringList{"Open A"};
        QTest::newRow("FT_Open B fails")
            << Fault([](Rig&, SimHub& h) { h.faults().openB = FT_DEVICE_NOT_OPENED; })
            << int(FT_DEVICE_NOT_OPENED) << QStringList{"Open A", "Open B", "Close A"};
        QTest::newRow("list cannot be created")
            << Fault([](Rig& r, SimHub&) { r.driver->faults().createList = FT_IO_ERROR; })
            << int(FT_IO_ERROR) << QStringList{};
        QTest::newRow("list cannot be read") << Fault([](Rig& r, SimHub&) {
            r.driver->faults().getList = FT_INSUFFICIENT_RESOURCES;
        }) << int(FT_INSUFFICIENT_RESOURCES) << QStringList{};
        QTest::newRow("node array")
            << Fault([](Rig& r, SimHub&) { r.driver->faults().reportedCount = 0xFFFFFFFF; })
            << CUsbHub::kListTooLong << QStringList{};
    }
    void failuresLeaveNothingOpen() {
        QFETCH(Fault, fault);
        QFETCH(int, code);
        QFETCH(QStringList, expectedCalls);
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        // Open first, so that the failing attempt also shows that it closed the open hub.
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        fault(rig, *hub);
        QCOMPARE(rig.usb->Open(0), code);
        QVERIFY(!rig.usb->IsOpen());
        QVERIFY(!hub->channelOpen('A'));
        QVERIFY(!hub->channelOpen('B'));
        QCOMPARE(rig.driver->openHandles(), 0);
        QCOMPARE(calls(*hub), QStringList({"Close A", "Close B"}) + expectedCalls);
    }

    void countFailuresLeaveCount_data() {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("code");
        QTest::newRow("create") << Fault([](Rig& r, SimHub&) {
            r.driver->faults().createList = FT_IO_ERROR;
        }) << int(FT_IO_ERROR);
        QTest::newRow("get") << Fault([](Rig& r, SimHub&) {
            r.driver->faults().getList = FT_OTHER_ERROR;
        }) << int(FT_OTHER_ERROR);
        QTest::newRow("node array") << Fault([](Rig& r, SimHub&) {
            r.driver->faults().reportedCount = std::int64_t{CUsbHub::kMaxListEntries} + 1;
        }) << CUsbHub::kListTooLong;
    }
    void countFailuresLeaveCount() {
        QFETCH(Fault, fault);
        QFETCH(int, code);
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        fault(rig, *hub);
        std::uint8_t count = 42;
        QCOMPARE(rig.usb->CountHubs(count), code);
        QCOMPARE(int(count), 42);
    }

    void configurationFailures_data() {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("callsMade");
        const auto failing = [](FT_STATUS SimHub::Faults::*step) {
            return Fault([step](Rig&, SimHub& h) { h.faults().*step = FT_IO_ERROR; });
        };
        using F = SimHub::Faults;
        QTest::newRow("timeouts A")
            << failing(&F::setTimeoutsA) << CUsbHub::kSetTimeoutsFailed << 3;
        QTest::newRow("purge A") << failing(&F::purgeA) << CUsbHub::kPurgeFailed << 4;
        QTest::newRow("baud rate A") << failing(&F::baudRateA) << CUsbHub::kSetBaudRateFailed << 5;
        QTest::newRow("bit mode A") << failing(&F::bitModeA) << CUsbHub::kSetBitModeFailed << 6;
        QTest::newRow("timeouts B")
            << failing(&F::setTimeoutsB) << CUsbHub::kSetTimeoutsFailed << 7;
        QTest::newRow("purge B") << failing(&F::purgeB) << CUsbHub::kPurgeFailed << 8;
    }
    void configurationFailures() {
        QFETCH(Fault, fault);
        QFETCH(int, code);
        QFETCH(int, callsMade);
        auto hub = vqx::sim::makeDemoHub();
        {
            Rig staging(hub);
            fault(staging, *hub);
        }
        hub->clearLog();
        {
            Rig rig(hub);
            QCOMPARE(rig.usb->Open(0), code);
            // The failing step is the last call: nothing after it was attempted.
            QCOMPARE(calls(*hub), kConfiguration.mid(0, callsMade));
            // Half configured, the hub stays open until the next Open or destruction.
            QVERIFY(rig.usb->IsOpen());
            QVERIFY(hub->channelOpen('A') && hub->channelOpen('B'));
        }
        QVERIFY(!hub->channelOpen('A') && !hub->channelOpen('B'));
        QCOMPARE(calls(*hub).mid(callsMade), QStringList({"Close A", "Close B"}));
    }

    void reopenAndClose() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        QCOMPARE(rig.usb->Open(0), 0);
        QCOMPARE(calls(*hub), QStringList({"Close A", "Close B"}) + kConfiguration);
        std::uint8_t count = 0;
        QCOMPARE(rig.usb->CountHubs(count), 0); // counting leaves the open hub alone
        QVERIFY(rig.usb->IsOpen());
        hub->clearLog();
        rig.usb->Close();
        rig.usb->Close(); // a closed hub: nothing happens
        QCOMPARE(calls(*hub), QStringList({"Close A", "Close B"}));
        QVERIFY(!rig.usb->IsOpen());
    }

    // ---- Framing on the wire ------------------------------------------------------------

    void writeRegsOnTheWire() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        QCOMPARE(rig.usb->WriteRegs(0x45, nullptr, 0), 0);
        QCOMPARE(hub->writeCalls(), 0);

        std::vector<std::uint32_t> words(4097, 0xFFFFFFFF);
        QCOMPARE(rig.usb->WriteRegs(0x45, words.data(), 4097), 0);
        QCOMPARE(hub->writes().size(), std::size_t{2});
        QCOMPARE(hub->writes()[0].size(), std::size_t{20481});
        QCOMPARE(bytes(hub->writes()[1]), QByteArray::fromHex("857f7f7f7f0f"));
        QCOMPARE(int(hub->writes()[0][0]), 0x85);
        QCOMPARE(bytes(hub->writes()[0]).mid(1, 10), QByteArray::fromHex("7f7f7f7f0f7f7f7f7f0f"));
    }

    void readRegsOnTheWire() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        // Count 0: the request goes out and nothing is read.
        QCOMPARE(rig.usb->ReadRegs(2, nullptr, 0), 0);
        QCOMPARE(bytes(hub->wire()), QByteArray::fromHex("c20000000000"));
        QCOMPARE(hub->readCalls(), 0);
        hub->clearLog();
        std::uint8_t b[4] = {};
        QCOMPARE(rig.usb->ReadRegs(2, b, 2), 0);
        QCOMPARE(bytes(hub->wire()), QByteArray::fromHex("c20200000000"));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4), QByteArray::fromHex("21930500"));
        QCOMPARE(hub->pendingReply(), std::size_t{0});
    }

    void partialTransfersContinue() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        hub->faults().writeLimit = 4;
        hub->faults().readLimit = 1;
        const std::uint32_t word = 0x80000601;
        QCOMPARE(rig.usb->WriteRegs(10, &word, 1), 0);
        QCOMPARE(hub->writes().size(), std::size_t{2});
        QCOMPARE(bytes(hub->writes()[0]), QByteArray::fromHex("8a010c00"));
        QCOMPARE(bytes(hub->writes()[1]), QByteArray::fromHex("0008"));
        hub->clearLog();
        std::uint8_t b[4] = {};
        QCOMPARE(rig.usb->ReadRegs(2, b, 2), 0);
        QCOMPARE(hub->writes().size(), std::size_t{2}); // the six-byte request in two parts
        QCOMPARE(bytes(hub->wire()), QByteArray::fromHex("c20200000000"));
        QCOMPARE(hub->readCalls(), 4);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4), QByteArray::fromHex("21930500"));
    }

    void emptyTransfersAreBounded_data() {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<bool>("read");
        QTest::newRow("writes move nothing")
            << Fault([](Rig&, SimHub& h) { h.faults().zeroByteWrites = true; }) << false;
        QTest::newRow("reads move nothing")
            << Fault([](Rig&, SimHub& h) { h.faults().zeroByteReads = true; }) << true;
        QTest::newRow("hub does not answer")
            << Fault([](Rig&, SimHub& h) { h.faults().silent = true; }) << true;
    }
    void emptyTransfersAreBounded() {
        QFETCH(Fault, fault);
        QFETCH(bool, read);
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        fault(rig, *hub);
        std::uint8_t b[2] = {};
        QCOMPARE(rig.usb->ReadRegs(0, b, 1), CUsbHub::kTransferStalled);
        QCOMPARE(read ? hub->readCalls() : hub->writeCalls(), CUsbHub::kMaxEmptyCalls);
        const std::uint32_t w = 1;
        if (!read)
            QCOMPARE(rig.usb->WriteRegs(3, &w, 1), CUsbHub::kTransferStalled);
    }

    void emptyCallsMustBeConsecutive_data() {
        QTest::addColumn<bool>("reads");
        QTest::addColumn<int>("run");
        QTest::addColumn<int>("code");
        QTest::newRow("reads: 9 empty, then a byte") << true << 9 << 0;
        QTest::newRow("reads: 10 empty in a row") << true << 10 << CUsbHub::kTransferStalled;
        QTest::newRow("writes: 9 empty, then a byte") << false << 9 << 0;
        QTest::newRow("writes: 10 empty in a row") << false << 10 << CUsbHub::kTransferStalled;
    }
    void emptyCallsMustBeConsecutive() {
        QFETCH(bool, reads);
        QFETCH(int, run);
        QFETCH(int, code);
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        (reads ? hub->faults().readEmptyRun : hub->faults().writeEmptyRun) = run;
        // Four words of hub register 2: a six-byte request and an eight-byte reply, each byte
        // only after `run` calls that move nothing.
        std::uint8_t b[8] = {};
        QCOMPARE(rig.usb->ReadRegs(2, b, 4), code);
        if (code == 0) {
            QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 8),
                     QByteArray::fromHex("2193050000000000"));
            QCOMPARE(bytes(hub->wire()), QByteArray::fromHex("c20400000000"));
            if (reads)
                QCOMPARE(hub->readCalls(), 8 * (run + 1));
            else
                QCOMPARE(hub->writeCalls(), 6 * (run + 1));
        } else {
            QCOMPARE(reads ? hub->readCalls() : hub->writeCalls(), CUsbHub::kMaxEmptyCalls);
        }
    }

    void lateReplyIsPurgedAfterAStall() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        // The status reply is there, but the driver keeps handing out nothing until the read
        // gives up; then the driver recovers.
        hub->faults().zeroByteReads = true;
        std::uint8_t status[2] = {0x55, 0x55};
        QCOMPARE(rig.usb->ReadRegs(0, status, 1), CUsbHub::kTransferStalled);
        QCOMPARE(calls(*hub), QStringList{"Purge B 1"}); // the receive buffer only
        QCOMPARE(hub->pendingReply(), std::size_t{0});
        hub->faults().zeroByteReads = false;
        // The next reply is read from its first byte.
        std::uint8_t types[4] = {};
        QCOMPARE(rig.usb->ReadRegs(2, types, 2), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(types), 4), QByteArray::fromHex("21930500"));
        QCOMPARE(hub->pendingReply(), std::size_t{0});
        // A read ended by a driver status leaves the buffer alone.
        hub->clearLog();
        hub->faults().failReadCall = 0;
        QCOMPARE(rig.usb->ReadRegs(0, status, 1), int(FT_IO_ERROR));
        QVERIFY(calls(*hub).isEmpty());
        QCOMPARE(hub->pendingReply(), std::size_t{2});
    }

    void driverFailuresPassThrough() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        hub->faults().failWriteCall = 0;
        hub->faults().writeStatus = FT_IO_ERROR;
        std::vector<std::uint32_t> words(5000, 1);
        QCOMPARE(rig.usb->WriteRegs(3, words.data(), 5000), int(FT_IO_ERROR));
        QCOMPARE(hub->writeCalls(), 1); // the second chunk was not sent
        hub->clearLog();
        hub->faults().failWriteCall = -1;
        hub->faults().failReadCall = 0;
        hub->faults().readStatus = FT_DEVICE_NOT_FOUND;
        std::uint8_t b[2] = {};
        QCOMPARE(rig.usb->ReadRegs(0, b, 1), int(FT_DEVICE_NOT_FOUND));
    }

    // ---- Slot bus ------------------------------------------------------------------------

    void statusBits_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("writeCode");
        QTest::addColumn<int>("readCode");
        QTest::newRow("0x1 done") << 0x1 << 0 << 0;
        constexpr int failed = CUsbHub::kSlotAccessFailed;
        QTest::newRow("0x2 failed") << 0x2 << failed << failed;
        QTest::newRow("0x3 both") << 0x3 << 0 << failed;
        QTest::newRow("0x5 done and other bits") << 0x5 << 0 << 0;
        QTest::newRow("0xFFFE failed and other bits") << 0xFFFE << failed << failed;
    }
    void statusBits() {
        QFETCH(int, status);
        QFETCH(int, writeCode);
        QFETCH(int, readCode);
        auto hub = vqx::sim::makeDemoHub();
        hub->module(0)->setFirmwareWord(0x1234);
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->faults().forcedStatus = status;
        QCOMPARE(rig.usb->WriteSlotReg(0, 0, 1), writeCode);
        hub->clearLog();
        std::uint16_t value = 0xBEEF;
        QCOMPARE(rig.usb->ReadSlotReg(0, 14, value), readCode);
        if (readCode == 0) {
            QCOMPARE(value, std::uint16_t{0x1234});
            // Command 0x0000042E to hub register 2, one status read, one read of register 1.
            QCOMPARE(bytes(hub->wire()), QByteArray::fromHex("822e08000000"
                                                             "c00100000000"
                                                             "c10100000000"));
        } else {
            QCOMPARE(value, std::uint16_t{0xBEEF});         // nothing stored
            QCOMPARE(hub->writes().size(), std::size_t{2}); // no read of hub register 1
        }
    }

    void otherStatusBitsKeepPolling() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        hub->faults().busyPolls = 3;
        hub->faults().busyStatus = 0x4;
        QCOMPARE(rig.usb->WriteSlotReg(0, 0, 1), 0);
        QCOMPARE(hub->statusReads(), 4);
    }

    void statusPollIsBounded() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        hub->faults().neverFinish = true;
        QCOMPARE(rig.usb->WriteSlotReg(0, 0, 1), CUsbHub::kSlotPollTimeout);
        QCOMPARE(hub->statusReads(), CUsbHub::kMaxStatusPolls);
        hub->clearLog();
        std::uint16_t value = 7;
        QCOMPARE(rig.usb->ReadSlotReg(0, 15, value), CUsbHub::kSlotPollTimeout);
        QCOMPARE(hub->statusReads(), CUsbHub::kMaxStatusPolls);
        QCOMPARE(value, std::uint16_t{7});
    }

    void slotRegisterWire() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        // Value 1 to module register 0 of slot 3: hub register 3, then 0x00002000 to register 2.
        QCOMPARE(rig.usb->WriteSlotReg(3, 0, 1), 0);
        QCOMPARE(bytes(hub->wire()), QByteArray::fromHex("830100000000"
                                                         "820040000000"
                                                         "c00100000000"));
        QCOMPARE(hub->accesses().size(), std::size_t{1});
        QCOMPARE(hub->accesses()[0].slot, 3);
        QCOMPARE(int(hub->accesses()[0].reg), 0);
        QCOMPARE(hub->accesses()[0].value, 1u);
        QVERIFY(!hub->accesses()[0].read);
        hub->clearLog();
        // Reading module register 15 of slot 5: command 0x0000802F, no write of register 3.
        std::uint16_t value = 0;
        // slot 5 of the demo hub is empty
        QCOMPARE(rig.usb->ReadSlotReg(5, 15, value), CUsbHub::kSlotAccessFailed);
        QCOMPARE(bytes(hub->wire()), QByteArray::fromHex("822f00020000"
                                                         "c00100000000"));
    }

    void slotRegisterStepFailures() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        hub->faults().failWriteCall = 0;
        hub->faults().writeStatus = FT_IO_ERROR;
        QCOMPARE(rig.usb->WriteSlotReg(0, 0, 1), int(FT_IO_ERROR));
        QCOMPARE(hub->writeCalls(), 1); // the command was not written
        QVERIFY(hub->accesses().empty());
        hub->clearLog();
        hub->faults().failWriteCall = 1; // the command itself
        QCOMPARE(rig.usb->WriteSlotReg(0, 0, 1), int(FT_IO_ERROR));
        QCOMPARE(hub->writeCalls(), 2);
        QCOMPARE(hub->readCalls(), 0);
        hub->clearLog();
        hub->faults().failWriteCall = -1;
        hub->faults().failReadCall = 0; // the status read
        hub->faults().readStatus = FT_IO_ERROR;
        std::uint16_t value = 5;
        QCOMPARE(rig.usb->ReadSlotReg(0, 15, value), int(FT_IO_ERROR));
        QCOMPARE(hub->writeCalls(), 2); // command and status request; no read of register 1
        hub->clearLog();
        hub->faults().failReadCall = 1; // the read of hub register 1
        QCOMPARE(rig.usb->ReadSlotReg(0, 15, value), int(FT_IO_ERROR));
        QCOMPARE(value, std::uint16_t{5});
    }

    void badSlotIsRefused() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        for (int slot : {-1, 6, 100}) {
            std::uint16_t v = 0;
            std::uint8_t b = 0x5A;
            QCOMPARE(rig.usb->WriteSlotReg(slot, 0, 1), CUsbHub::kBadSlot);
            QCOMPARE(rig.usb->ReadSlotReg(slot, 0, v), CUsbHub::kBadSlot);
            QCOMPARE(rig.usb->ReadSlotEeprom(slot, 6, b), CUsbHub::kBadSlot);
            QCOMPARE(rig.usb->WriteSlotEeprom(slot, 6, 1), CUsbHub::kBadSlot);
            QCOMPARE(int(b), 0x5A);
        }
        QCOMPARE(hub->writeCalls(), 0);
        QCOMPARE(hub->readCalls(), 0);
        QVERIFY(rig.sleeps.empty());
    }

    // ---- Slot EEPROM ------------------------------------------------------------------------

    void eepromCommandRegister_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("commandReg");
        QTest::newRow("type 2") << 2 << 13;
        QTest::newRow("type 1") << 1 << 10;
        QTest::newRow("type 0") << 0 << 10;
        QTest::newRow("type 9") << 9 << 10;
        QTest::newRow("type 15") << 15 << 10;
    }
    void eepromCommandRegister() {
        QFETCH(int, type);
        QFETCH(int, commandReg);
        auto hub = vqx::sim::makeDemoHub();
        auto module = std::make_shared<ModuleModel>(commandReg == 13 ? ModuleModel::Variant::V2
                                                                     : ModuleModel::Variant::V1);
        module->eeprom()[6] = 0xC0;
        hub->setSlot(4, type, module);
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        std::uint8_t b = 0;
        QCOMPARE(rig.usb->ReadSlotEeprom(4, 6, b), 0);
        QCOMPARE(int(b), 0xC0);
        QCOMPARE(hub->accesses().size(), std::size_t{3});
        QCOMPARE(int(hub->accesses()[1].reg), commandReg);
        QCOMPARE(hub->accesses()[1].value, 0x80000601u);
        hub->clearLog();
        QCOMPARE(rig.usb->WriteSlotEeprom(4, 7, 0x11), 0);
        QCOMPARE(hub->accesses().size(), std::size_t{3});
        QCOMPARE(int(hub->accesses()[2].reg), commandReg);
        QCOMPARE(module->eeprom()[7], std::uint8_t{0x11});
    }

    void readEepromSequence() {
        auto hub = vqx::sim::makeDemoHub();
        hub->module(0)->eeprom()[6] = 0xC0;
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        // The 100 ms wait falls between the command word and the read of the data register.
        std::vector<std::size_t> accessesAtSleep;
        rig.usb->SetSleep([&](unsigned ms) {
            rig.sleeps.push_back(ms);
            accessesAtSleep.push_back(hub->accesses().size());
        });
        std::uint8_t b = 0;
        QCOMPARE(rig.usb->ReadSlotEeprom(0, 6, b), 0);
        QCOMPARE(int(b), 0xC0);
        QCOMPARE(accessesAtSleep, std::vector<std::size_t>{2});
        // First the slot-type word, two words of hub register 2.
        QCOMPARE(bytes(hub->writes()[0]), QByteArray::fromHex("c20200000000"));
        const auto& a = hub->accesses();
        QCOMPARE(a.size(), std::size_t{3});
        QVERIFY(!a[0].read && a[0].reg == 0 && a[0].value == 1 && a[0].slot == 0);
        QVERIFY(!a[1].read && a[1].reg == 10 && a[1].value == 0x80000601u);
        // The strict module's data word carries other bits in its high byte; the byte is the
        // low 8 bits.
        QVERIFY(a[2].read && a[2].reg == 15 && a[2].value == 0xA5C0);
        QCOMPARE(rig.sleeps, std::vector<unsigned>{100});
    }

    void writeEepromSequence() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        QCOMPARE(rig.usb->WriteSlotEeprom(0, 17, 0xFF), 0);
        const auto& a = hub->accesses();
        QCOMPARE(a.size(), std::size_t{3});
        QVERIFY(a[0].reg == 0 && a[0].value == 1);
        QVERIFY(a[1].reg == 15 && a[1].value == 0x000000FFu);
        QVERIFY(a[2].reg == 10 && a[2].value == 0x40001101u);
        QCOMPARE(rig.sleeps, std::vector<unsigned>{100});
        QCOMPARE(hub->module(0)->eeprom()[17], std::uint8_t{0xFF});
        // The data word on the wire: 0xFF to hub register 3 ahead of the command to register 2.
        QVERIFY(bytes(hub->wire())
                    .contains(QByteArray::fromHex("837f01000000"
                                                  "820f08000000")));
    }

    void eepromAddressCarries11Bits() {
        auto hub = vqx::sim::makeDemoHub();
        hub->module(0)->eeprom()[6] = 0x66;
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        std::uint8_t b = 0;
        QCOMPARE(rig.usb->ReadSlotEeprom(0, 0x0806, b), 0);
        QCOMPARE(hub->accesses()[1].value, 0x80000601u);
        QCOMPARE(int(b), 0x66);
    }

    void failedCommandWordHasNoWait() {
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        hub->faults().failRegister = 10;
        std::uint8_t b = 0x77;
        QCOMPARE(rig.usb->ReadSlotEeprom(0, 6, b), CUsbHub::kSlotAccessFailed);
        QCOMPARE(int(b), 0x77);
        QCOMPARE(hub->accesses().size(), std::size_t{2}); // register 15 is not read
        QCOMPARE(rig.sleeps.size(), std::size_t{0});
        QCOMPARE(rig.usb->WriteSlotEeprom(0, 6, 1), CUsbHub::kSlotAccessFailed);
        QCOMPARE(rig.sleeps.size(), std::size_t{0});
        // The hub's own code is no D2XX status; users see it as the hub numbers it.
        QCOMPARE(
            *vqx::usb::statusName(static_cast<vqx::usb::FT_STATUS>(CUsbHub::kSlotAccessFailed)),
            '\0');
        QCOMPARE(CUsbHub::ShownCode(CUsbHub::kSlotAccessFailed), 10);
        QCOMPARE(CUsbHub::ShownCode(10), 10);
    }

    void failureBeforeTheCommandWordEndsTheTransfer_data() {
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("failRegister");
        QTest::addColumn<int>("accessesMade");
        QTest::newRow("write: control register 0") << true << 0 << 1;
        QTest::newRow("write: data register 15") << true << 15 << 2;
        QTest::newRow("read: control register 0") << false << 0 << 1;
    }
    void failureBeforeTheCommandWordEndsTheTransfer() {
        QFETCH(bool, write);
        QFETCH(int, failRegister);
        QFETCH(int, accessesMade);
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        hub->clearLog();
        hub->faults().failRegister = failRegister; // the hub reports that access as failed
        std::uint8_t b = 0x77;
        const int rc =
            write ? rig.usb->WriteSlotEeprom(0, 6, 0x42) : rig.usb->ReadSlotEeprom(0, 6, b);
        QCOMPARE(rc, CUsbHub::kSlotAccessFailed);
        QCOMPARE(int(hub->accesses().size()), accessesMade);
        QCOMPARE(int(hub->accesses().back().reg), failRegister); // the failed one was the last
        for (const auto& a : hub->accesses())
            QVERIFY(a.reg != 10); // the command register (slot 0 is type 1) is never reached
        QVERIFY(rig.sleeps.empty());
        QCOMPARE(int(b), 0x77);
        QCOMPARE(hub->module(0)->commandsExecuted(), 0);
    }

    void failingSlotTypeReadWritesNothing_data() {
        QTest::addColumn<bool>("failRequest");
        QTest::newRow("request fails") << true;
        QTest::newRow("reply fails") << false;
    }
    void failingSlotTypeReadWritesNothing() {
        QFETCH(bool, failRequest);
        auto hub = vqx::sim::makeDemoHub();
        Rig rig(hub);
        QCOMPARE(rig.usb->Open(0), 0);
        for (int write = 0; write < 2; ++write) {
            hub->clearLog();
            if (failRequest)
                hub->faults().failWriteCall = 0;
            else
                hub->faults().failReadCall = 0;
            std::uint8_t b = 0x77;
            const int rc =
                write ? rig.usb->WriteSlotEeprom(0, 6, 1) : rig.usb->ReadSlotEeprom(0, 6, b);
            QCOMPARE(rc, int(FT_IO_ERROR));
            QVERIFY(hub->accesses().empty());
            QCOMPARE(int(b), 0x77);
        }
        QVERIFY(rig.sleeps.empty());
    }

    void emptySlotFails() {
        Rig rig; // slot 5 of the demo hub is empty (type 0)
        QCOMPARE(rig.usb->Open(0), 0);
        std::uint8_t b = 0;
        QCOMPARE(rig.usb->ReadSlotEeprom(5, 6, b), CUsbHub::kSlotAccessFailed);
        QCOMPARE(rig.usb->WriteSlotEeprom(5, 6, 1), CUsbHub::kSlotAccessFailed);
    }

    // ---- The whole path ---------------------------------------------------------------------

    void wholePathThroughTheSimulatedHub() {
        auto hub = vqx::sim::makeDemoHub();
        vqx::sim::registerSimDriver(hub);
        std::string why;
        auto driver = createDriver("sim", &why);
        vqx::usb::unregisterDriver("sim");
        QVERIFY2(driver, why.c_str());
        QCOMPARE(QString::fromStdString(driver->name()), QString("sim"));
        CUsbHub usb(std::move(driver));
        std::vector<unsigned> sleeps;
        usb.SetSleep([&](unsigned ms) { sleeps.push_back(ms); });

        std::uint8_t count = 0;
        QCOMPARE(usb.CountHubs(count), 0);
        QCOMPARE(int(count), 1);
        QCOMPARE(usb.Open(0), 0);
        std::uint8_t types[4] = {};
        QCOMPARE(usb.ReadRegs(2, types, 2), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(types), 4), QByteArray::fromHex("21930500"));

        for (int slot : {0, 1}) { // variant 1 (type 1) and variant 2 (type 2)
            std::array<std::uint8_t, 12> record{};
            for (int i = 0; i < 12; ++i)
                QCOMPARE(usb.ReadSlotEeprom(slot, static_cast<std::uint16_t>(6 + i), record[i]), 0);
            QCOMPARE(record, hub->module(slot)->record());
            const std::array<std::uint8_t, 12> fresh = {
                254, 0, 10, 10, 0, 0, 255, 255, static_cast<std::uint8_t>(20 + slot), 0, 10, 10};
            for (int i = 0; i < 12; ++i)
                QCOMPARE(usb.WriteSlotEeprom(slot, static_cast<std::uint16_t>(6 + i), fresh[i]), 0);
            QCOMPARE(hub->module(slot)->record(), fresh);
            std::array<std::uint8_t, 12> back{};
            for (int i = 0; i < 12; ++i)
                QCOMPARE(usb.ReadSlotEeprom(slot, static_cast<std::uint16_t>(6 + i), back[i]), 0);
            QCOMPARE(back, fresh);
        }
        QCOMPARE(sleeps, std::vector<unsigned>(72, 100));
        QCOMPARE(hub->module(2)->commandsExecuted(), 0);
    }

    // ---- Factory and codes -----------------------------------------------------------------

    void factory() {
        std::string why;
        QVERIFY(!createDriver("nonsense", &why));
        QVERIFY(QString::fromStdString(why).contains("nonsense"));
        QVERIFY(!createDriver("sim", &why)); // nothing registered
        auto hub = vqx::sim::makeDemoHub();
#ifdef VQX_HAVE_LIBFTDI
        auto ftdi = createDriver("libftdi", &why);
        QVERIFY(ftdi);
        QCOMPARE(QString::fromStdString(ftdi->name()), QString("libftdi"));
        // The built-in kinds cannot be taken over.
        registerDriver("libftdi", [hub] { return std::make_unique<SimHubDriver>(hub); });
        QCOMPARE(QString::fromStdString(createDriver("libftdi")->name()), QString("libftdi"));
        // "auto" takes the vendor library when it loads, otherwise libftdi, and says why.
        auto automatic = createDriver("auto", &why);
        QVERIFY(automatic);
        if (automatic->name() == "libftdi")
            QVERIFY(QString::fromStdString(why).contains("D2XX"));
        else
            QVERIFY(why.empty());
        // A hub without a driver argument gets the default backend.
        CUsbHub usb;
        QVERIFY(usb.Driver());
#else
        // Without libftdi the vendor's library is the only backend; "libftdi" stays reserved.
        QVERIFY(!createDriver("libftdi", &why));
        QVERIFY2(QString::fromStdString(why).contains("not part of this build"), why.c_str());
        registerDriver("libftdi", [hub] { return std::make_unique<SimHubDriver>(hub); });
        QVERIFY(!createDriver("libftdi"));
        const std::vector<std::string> kinds = driverKinds();
        QVERIFY(std::find(kinds.begin(), kinds.end(), "libftdi") == kinds.end());
        auto automatic = createDriver("auto", &why);
        if (!automatic)
            QVERIFY2(QString::fromStdString(why).contains("FTD2XX.dll"), why.c_str());
#endif
    }

    void autoChoice_data() {
        QTest::addColumn<bool>("vendorHub");
        QTest::addColumn<bool>("libftdiHub");
        QTest::addColumn<bool>("vendorKnowsHubId");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<bool>("libftdiMade");
        QTest::newRow("vendor lists the hub") << true << true << false << "vendor" << false;
        QTest::newRow("only libftdi lists it") << false << true << true << "libftdi" << true;
        QTest::newRow("no hub, vendor knows the id") << false << false << true << "vendor" << true;
        QTest::newRow("no hub, vendor cannot know it")
            << false << false << false << "libftdi" << true;
    }
    void autoChoice() {
        QFETCH(bool, vendorHub);
        QFETCH(bool, libftdiHub);
        QFETCH(bool, vendorKnowsHubId);
        QFETCH(QString, chosen);
        QFETCH(bool, libftdiMade);
        // Two simulated drivers stand for the two libraries; an FTDI cable is in both lists.
        auto makeList = [](bool withHub) {
            std::vector<std::shared_ptr<SimHub>> hubs;
            if (withHub)
                hubs.push_back(vqx::sim::makeDemoHub());
            auto driver = std::make_unique<SimHubDriver>(hubs);
            driver->addEntry(node(0x04036001, "FT1"));
            return driver;
        };
        auto vendor = makeList(vendorHub);
        const D2xxDriver* vendorPtr = vendor.get();
        const D2xxDriver* libftdiPtr = nullptr;
        int made = 0;
        std::string why = "stale";
        auto result = chooseAutoDriver(
            std::move(vendor), vendorKnowsHubId,
            [&]() -> std::unique_ptr<D2xxDriver> {
                ++made;
                auto d = makeList(libftdiHub);
                libftdiPtr = d.get();
                return d;
            },
            &why);
        QVERIFY(result);
        QCOMPARE(made, libftdiMade ? 1 : 0);
        if (chosen == "vendor") {
            QCOMPARE(result.get(), vendorPtr);
            QCOMPARE(QString::fromStdString(why), QString());
        } else {
            QCOMPARE(result.get(), libftdiPtr);
            QVERIFY2(QString::fromStdString(why).contains("libftdi is used"), why.c_str());
        }
        QCOMPARE(countHubIdEntries(*result),
                 chosen == "vendor" ? (vendorHub ? 2 : 0) : (libftdiHub ? 2 : 0));
    }

    void codes() {
        const int ours[] = {CUsbHub::kTransferStalled, CUsbHub::kSlotPollTimeout, CUsbHub::kBadSlot,
                            CUsbHub::kOutOfMemory, CUsbHub::kListTooLong};
        const int taken[] = {0, -1, -2, -3, -4, -5, -6, -7, 10};
        QSet<QString> texts;
        for (int code : ours) {
            QVERIFY(code < 0); // D2XX statuses are positive
            for (int t : taken)
                QVERIFY(code != t);
            texts.insert(CUsbHub::Describe(code));
        }
        for (int code : {0, -1, -3, -4, -6, -7, 10})
            texts.insert(CUsbHub::Describe(code));
        QCOMPARE(texts.size(), 12);
        QVERIFY(QString(CUsbHub::Describe(int(FT_DEVICE_NOT_FOUND))).contains("not found"));
        QVERIFY(QString(CUsbHub::Describe(CUsbHub::kBadSlot)).contains("0 to 5"));
        QCOMPARE(QString(statusName(FT_IO_ERROR)), QString("FT_IO_ERROR"));
        QCOMPARE(QString(statusName(999)), QString());
    }
};

QTEST_APPLESS_MAIN(TestUsbHub)
#include "tst_usbhub.moc"
