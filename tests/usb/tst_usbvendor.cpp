// The run-time loading backend against the in-tree stand-in libftd2xx, end to end: found by
// the loader's search (LD_LIBRARY_PATH set by the test; on Windows FTD2XX.dll through PATH)
// and by explicit path; and a library that lacks a function is refused with a reason the user
// can read. On Linux the hub's USB ids are registered with FT_SetVIDPID before anything is
// listed; Windows has no such call.

#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

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
#ifdef Q_OS_WIN
    // First of all: nothing has loaded a library named FTD2XX.dll into this process yet, so
    // the name is looked up by the usual DLL search (the program's folder, the system
    // folders, PATH).
    void ftd2xxDllThroughTheDllSearch() {
        std::string why;
        auto missing = createDriver("d2xx", &why);
        if (missing)
            QSKIP("an FTD2XX.dll is installed on this machine: the missing case cannot be shown");
        const QString reason = QString::fromStdString(why);
        QVERIFY2(reason.startsWith("The FTDI D2XX library (FTD2XX.dll) could not be loaded: "),
                 why.c_str());
        QVERIFY2(reason.contains("Install the FTDI D2XX driver"), why.c_str());
        // Without libftdi, "auto" has nothing else to fall back on, and says why.
        QVERIFY(!createDriver("auto", &why));
        QCOMPARE(QString::fromStdString(why), reason);
        QVERIFY(!createDriver("libftdi", &why));
        QVERIFY2(QString::fromStdString(why).contains("FTD2XX.dll"), why.c_str());
        CUsbHub none(nullptr);
        std::uint8_t count = 0;
        QVERIFY(none.CountHubs(count) != 0); // the dialog's "No device"

        // The stand-in's folder on PATH: now the search finds it there.
        const QString folder = QFileInfo(QStringLiteral(VQX_STANDIN_PATH)).absolutePath();
        qputenv("PATH", QDir::toNativeSeparators(folder).toLocal8Bit() + ';' + qgetenv("PATH"));
        auto driver = createDriver("d2xx", &why);
        QVERIFY2(driver, why.c_str());
        wchar_t file[MAX_PATH] = {};
        HMODULE module = GetModuleHandleW(L"FTD2XX.dll");
        QVERIFY(module);
        QVERIFY(GetModuleFileNameW(module, file, MAX_PATH) > 0);
        QCOMPARE(QFileInfo(QString::fromWCharArray(file)).canonicalFilePath().toLower(),
                 QFileInfo(QStringLiteral(VQX_STANDIN_PATH)).canonicalFilePath().toLower());
        auto* vendor = dynamic_cast<VendorD2xxDriver*>(driver.get());
        QVERIFY(vendor && vendor->hubIdRegistered()); // nothing to register on Windows
        QVERIFY(vendor->lastError().empty());
        CUsbHub usb(std::move(driver));
        QCOMPARE(usb.CountHubs(count), 0);
        QCOMPARE(int(count), 1); // listed without any registration
    }
#endif

#ifndef Q_OS_WIN
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

#endif

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
#ifndef Q_OS_WIN
        RawStandIn raw;
        QCOMPARE(raw.listedAfter(0, 0), 0);
#endif
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
        QVERIFY2(QString::fromStdString(why).startsWith(
                     "The FTDI D2XX library (/nonexistent/libftd2xx.so) could not be loaded: "),
                 why.c_str());
    }
};

QTEST_APPLESS_MAIN(TestUsbVendor)
#include "tst_usbvendor.moc"
