// The run-time loading backend against the in-tree stand-in libftd2xx, end to end: found by
// the loader's search (LD_LIBRARY_PATH set by the test) and by explicit path; and a library
// that lacks a function is refused with a reason the user can read. The hub's USB ids are
// registered with FT_SetVIDPID before anything is listed.

#include <QLibrary>
#include <QtTest>

#include "CUsbHub.h"
#include "DriverFactory.h"
#include "VendorAbi.h"
#include "VendorD2xxDriver.h"

using namespace vqx::usb;

namespace {

/// The stand-in's own FT_SetVIDPID and FT_CreateDeviceInfoList, called directly: the stand-in
/// is one per process, so each test sets the custom id it starts from.
struct RawStandIn {
    RawStandIn() : library(QStringLiteral(VQX_STANDIN_PATH)) {
        if (library.load()) {
            setVidPid = reinterpret_cast<abi::SetVidPidFn>(library.resolve("FT_SetVIDPID"));
            create = reinterpret_cast<abi::CreateDeviceInfoListFn>(
                library.resolve("FT_CreateDeviceInfoList"));
        }
    }
    /// Entries listed after registering vid:pid (0:0 = none).
    int listedAfter(abi::Dword vid, abi::Dword pid) {
        if (setVidPid(vid, pid) != 0)
            return -1;
        abi::Dword n = 0;
        return create(&n) == 0 ? static_cast<int>(n) : -1;
    }
    QLibrary library;
    abi::SetVidPidFn setVidPid = nullptr;
    abi::CreateDeviceInfoListFn create = nullptr;
};

} // namespace

class TestUsbVendor : public QObject {
    Q_OBJECT
private slots:
    void standInListsTheHubOnlyOnceItsIdIsRegistered() {
        RawStandIn raw;
        QVERIFY2(raw.setVidPid && raw.create, qPrintable(raw.library.errorString()));
        QCOMPARE(raw.listedAfter(0, 0), 0);
        QCOMPARE(raw.listedAfter(0x0403, 0x6010), 0); // another custom pair
        QCOMPARE(raw.listedAfter(0x5A3C, 0x2207), 2); // channels A and B
    }

    void loadingRegistersTheHubId() {
        RawStandIn raw;
        QVERIFY(raw.setVidPid);
        QCOMPARE(raw.listedAfter(0, 0), 0); // forget any earlier registration
        std::string why;
        auto driver = createVendorDriver(VQX_STANDIN_PATH, &why);
        QVERIFY2(driver, why.c_str());
        auto* vendor = dynamic_cast<VendorD2xxDriver*>(driver.get());
        QVERIFY(vendor);
        QVERIFY(vendor->hubIdRegistered());
        QCOMPARE(QString::fromStdString(vendor->lastError()), QString());
        CUsbHub usb(std::move(driver));
        std::uint8_t count = 0;
        QCOMPARE(usb.CountHubs(count), 0);
        QCOMPARE(int(count), 1);
        QCOMPARE(usb.Open(0), 0);
    }

    void libraryWithoutSetVidPidIsUsedAndExplained() {
        std::string why;
        auto driver = createVendorDriver(VQX_NOVIDPID_PATH, &why);
        QVERIFY2(driver, why.c_str());
        auto* vendor = dynamic_cast<VendorD2xxDriver*>(driver.get());
        QVERIFY(vendor);
        QVERIFY(!vendor->hubIdRegistered());
        const QString note = QString::fromStdString(vendor->lastError());
        QVERIFY2(note.contains("lacks FT_SetVIDPID") && note.contains("5a3c:2207"),
                 qPrintable(note));
        // "auto" would not keep such a library when libftdi is there: it cannot list the hub.
        auto chosen = chooseAutoDriver(
            std::move(driver), false, [] { return createDriver("libftdi"); }, &why);
        QVERIFY(chosen);
        QCOMPARE(QString::fromStdString(chosen->name()), QString("libftdi"));
        QVERIFY2(QString::fromStdString(why).contains("FT_SetVIDPID"), why.c_str());
    }

    void loadsThroughTheLoaderSearch() {
        std::string why;
        auto driver = createDriver("d2xx", &why);
        QVERIFY2(driver, why.c_str());
        QCOMPARE(QString::fromStdString(driver->name()), QString("d2xx"));
        auto* vendor = dynamic_cast<VendorD2xxDriver*>(driver.get());
        QVERIFY(vendor);
        QVERIFY(QString::fromStdString(vendor->libraryFile()).contains("ftd2xx"));
        // "auto" prefers the vendor library when it loads.
        auto automatic = createDriver("auto", &why);
        QVERIFY(automatic);
        QCOMPARE(QString::fromStdString(automatic->name()), QString("d2xx"));
        QVERIFY(why.empty());
    }

    void wholePathThroughTheStandIn() {
        RawStandIn raw;
        QCOMPARE(raw.listedAfter(0, 0), 0);
        std::string why;
        auto driver = createVendorDriver(VQX_STANDIN_PATH, &why);
        QVERIFY2(driver, why.c_str());
        CUsbHub usb(std::move(driver));
        std::vector<unsigned> sleeps;
        usb.SetSleep([&](unsigned ms) { sleeps.push_back(ms); });

        // The raw list as the library gives it: channels A and B of the demonstration hub.
        std::uint32_t n = 0;
        QCOMPARE(usb.Driver()->CreateDeviceInfoList(&n), FT_STATUS{FT_OK});
        QCOMPARE(n, 2u);
        DeviceListNode nodes[2];
        QCOMPARE(usb.Driver()->GetDeviceInfoList(nodes, &n), FT_STATUS{FT_OK});
        QCOMPARE(QString(nodes[0].SerialNumber), QString("VQX25001A"));
        QCOMPARE(QString(nodes[1].SerialNumber), QString("VQX25001B"));
        QCOMPARE(nodes[0].ID, 0x5A3C2207u);
        QCOMPARE(QString(nodes[1].Description), QString("VQX250 Hub B"));
        // An array shorter than the library's list gets what fits; the library still fills its
        // whole list, into the backend's own staging array.
        std::uint32_t one = 1;
        DeviceListNode first[1];
        QCOMPARE(usb.Driver()->GetDeviceInfoList(first, &one), FT_STATUS{FT_OK});
        QCOMPARE(one, 1u);
        QCOMPARE(QString(first[0].SerialNumber), QString("VQX25001A"));

        std::uint8_t count = 0;
        QCOMPARE(usb.CountHubs(count), 0);
        QCOMPARE(int(count), 1);
        QCOMPARE(usb.Open(0), 0);
        QCOMPARE(usb.Open(0), 0); // reopening closes and opens both channels again
        QCOMPARE(usb.Open(1), CUsbHub::kNoHub);
        QVERIFY(!usb.IsOpen());
        QCOMPARE(usb.Open(0), 0);

        std::uint8_t types[4] = {};
        QCOMPARE(usb.ReadRegs(2, types, 2), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(types), 4), QByteArray::fromHex("21930500"));

        // Slot 2 ("Afg", variant 2): the demonstration record, then a fresh one written back.
        const std::array<std::uint8_t, 12> demo = {1,   1,   168, 192, 0,   255,
                                                   255, 255, 102, 1,   168, 192};
        std::array<std::uint8_t, 12> record{};
        for (int i = 0; i < 12; ++i)
            QCOMPARE(usb.ReadSlotEeprom(1, static_cast<std::uint16_t>(6 + i), record[i]), 0);
        QCOMPARE(record, demo);
        const std::array<std::uint8_t, 12> fresh = {254, 0, 10, 10, 0, 0, 255, 255, 33, 0, 10, 10};
        for (int i = 0; i < 12; ++i)
            QCOMPARE(usb.WriteSlotEeprom(1, static_cast<std::uint16_t>(6 + i), fresh[i]), 0);
        for (int i = 0; i < 12; ++i)
            QCOMPARE(usb.ReadSlotEeprom(1, static_cast<std::uint16_t>(6 + i), record[i]), 0);
        QCOMPARE(record, fresh);
        // Slot 1 (variant 1) still holds its own record.
        for (int i = 0; i < 12; ++i)
            QCOMPARE(usb.ReadSlotEeprom(0, static_cast<std::uint16_t>(6 + i), record[i]), 0);
        QCOMPARE(record[8], std::uint8_t{101});
        QCOMPARE(sleeps, std::vector<unsigned>(48, 100));
        // The empty sixth slot reports a failed access.
        std::uint8_t b = 0;
        QCOMPARE(usb.ReadSlotEeprom(5, 6, b), CUsbHub::kSlotAccessFailed);
    }

    void refusesAnIncompleteLibrary() {
        std::string why;
        QVERIFY(!createVendorDriver(VQX_INCOMPLETE_PATH, &why));
        const QString reason = QString::fromStdString(why);
        QVERIFY2(reason.contains("lacks FT_SetBitMode"), why.c_str());
        QVERIFY(!reason.contains("FT_Write")); // only the missing function is named
    }

    void explainsAMissingLibrary() {
        std::string why;
        QVERIFY(!createVendorDriver("/nonexistent/libftd2xx.so", &why));
        QVERIFY2(QString::fromStdString(why).contains("could not be loaded"), why.c_str());
    }
};

QTEST_APPLESS_MAIN(TestUsbVendor)
#include "tst_usbvendor.moc"
