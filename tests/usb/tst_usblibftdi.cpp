// The libftdi backend behind its seam: list building like the vendor library, opening by
// list position, the read/write emulation (0-byte reads repeated until the time-out on a
// test clock), the configuration calls, and the permission failure. The emulatedChip cases
// run libftdi itself against the chip emulated below libusb; they run only in the ctest
// entry that preloads libvqx250-usbemu.so.

#include <QtTest>

#include <deque>

#include <ftdi.h>
#include <libusb.h>

#include "CUsbHub.h"
#include "LibFtdiDriver.h"

using namespace vqx::usb;

namespace {

struct Script {
    // What the channels saw and how they answer.
    std::vector<std::pair<std::size_t, int>> opens; ///< device, channel
    std::vector<std::string> log;
    std::deque<int> readChunks;  ///< bytes each read returns (clipped to the request); -1 = error
    std::deque<int> writeChunks; ///< bytes each write accepts; -1 = error; empty = all
    std::vector<std::uint8_t> readData;
    std::vector<std::uint8_t> written;
    std::chrono::milliseconds clock{5000};
    std::chrono::milliseconds step{100}; ///< every read or write takes this long
    int reads = 0;
    int writes = 0;
};

class FakeChannel final : public ftdi::Channel {
public:
    FakeChannel(Script& s, int ch) : m_s(s), m_tag(std::string(1, char('A' + ch))) {}
    ~FakeChannel() override { m_s.log.push_back("close " + m_tag); }
    int setUsbTimeouts(int r, int w) override {
        m_s.log.push_back("usbTimeouts " + m_tag + " " + std::to_string(r) + " " +
                          std::to_string(w));
        return 0;
    }
    int purge(bool rx, bool tx) override {
        m_s.log.push_back("purge " + m_tag + (rx ? " rx" : "") + (tx ? " tx" : ""));
        return 0;
    }
    int setBaudRate(int baud) override {
        m_s.log.push_back("baud " + m_tag + " " + std::to_string(baud));
        return 0;
    }
    int setBitMode(std::uint8_t mask, std::uint8_t mode) override {
        m_s.log.push_back("bitmode " + m_tag + " " + std::to_string(mask) + " " +
                          std::to_string(mode));
        return 0;
    }
    int write(const std::uint8_t* data, int size) override {
        ++m_s.writes;
        m_s.clock += m_s.step;
        int n = size;
        if (!m_s.writeChunks.empty()) {
            n = m_s.writeChunks.front();
            m_s.writeChunks.pop_front();
            if (n < 0)
                return -1;
            n = std::min(n, size);
        }
        m_s.written.insert(m_s.written.end(), data, data + n);
        return n;
    }
    int read(std::uint8_t* data, int size) override {
        ++m_s.reads;
        m_s.clock += m_s.step;
        int n = 0;
        if (!m_s.readChunks.empty()) {
            n = m_s.readChunks.front();
            m_s.readChunks.pop_front();
        }
        if (n < 0)
            return -1;
        n = std::min({n, size, static_cast<int>(m_s.readData.size())});
        std::copy_n(m_s.readData.begin(), n, data);
        m_s.readData.erase(m_s.readData.begin(), m_s.readData.begin() + n);
        return n;
    }
    std::string errorString() const override { return "fake failure"; }

private:
    Script& m_s;
    std::string m_tag;
};

class FakeApi final : public ftdi::Api {
public:
    FakeApi(Script& s, std::vector<ftdi::UsbDevice> devices)
        : m_s(s), m_devices(std::move(devices)) {}
    int enumerate(std::vector<ftdi::UsbDevice>& devices, std::string* error) override {
        if (failEnumerate) {
            *error = "no USB";
            return -3;
        }
        devices = m_devices;
        return 0;
    }
    std::unique_ptr<ftdi::Channel> open(std::size_t device, int channel, ftdi::OpenError* error,
                                        std::string* message) override {
        m_s.opens.emplace_back(device, channel);
        if (openError != ftdi::OpenError::None) {
            *error = openError;
            *message = "libusb_open() failed";
            return nullptr;
        }
        return std::make_unique<FakeChannel>(m_s, channel);
    }
    std::chrono::milliseconds now() override { return m_s.clock; }

    bool failEnumerate = false;
    ftdi::OpenError openError = ftdi::OpenError::None;

private:
    Script& m_s;
    std::vector<ftdi::UsbDevice> m_devices;
};

ftdi::UsbDevice usbDevice(std::uint16_t vid, std::uint16_t pid, std::uint16_t bcd, int channels,
                          std::string serial, std::string description, std::uint32_t loc) {
    ftdi::UsbDevice d;
    d.vendor = vid;
    d.product = pid;
    d.bcdDevice = bcd;
    d.channels = channels;
    d.serial = std::move(serial);
    d.description = std::move(description);
    d.locId = loc;
    return d;
}

std::vector<ftdi::UsbDevice> bench() {
    return {usbDevice(0x0403, 0x6001, 0x0600, 1, "A1B2C3", "FT232R USB UART", 0x10),
            usbDevice(0x5A3C, 0x2207, 0x0700, 2, "VQX25001", "VQX250 Hub", 0x20),
            usbDevice(0x0403, 0x6011, 0x0800, 4, "FT4X", "Quad RS232-HS", 0x30),
            usbDevice(0x0403, 0x6010, 0x0700, 2, "ABCDEFGHIJKLMNOP", "Dual RS232-HS", 0x40)};
}

struct Rig {
    explicit Rig(std::vector<ftdi::UsbDevice> devices = bench()) {
        auto fake = std::make_unique<FakeApi>(script, std::move(devices));
        api = fake.get();
        auto drv = std::make_unique<LibFtdiDriver>(std::move(fake));
        driver = drv.get();
        usb = std::make_unique<CUsbHub>(std::move(drv));
    }
    Script script;
    FakeApi* api = nullptr;
    LibFtdiDriver* driver = nullptr;
    std::unique_ptr<CUsbHub> usb;
};

bool emulationLoaded() {
    return std::string(libusb_get_version()->describe) == "vqx250-usbemu";
}

/// A libftdi context on one channel of the emulated hub.
struct Channel {
    explicit Channel(ftdi_interface which) : ctx(ftdi_new()) {
        ok = ctx && ftdi_set_interface(ctx, which) == 0 && ftdi_usb_open(ctx, 0x5A3C, 0x2207) == 0;
    }
    ~Channel() {
        if (ctx)
            ftdi_free(ctx);
    }
    ftdi_context* ctx;
    bool ok = false;
};

/// Channel A as the hub needs it: 115200 baud, then synchronous bit-bang with all inputs.
bool setUpChannelA(Channel& a) {
    return a.ok && ftdi_set_baudrate(a.ctx, 115200) == 0 &&
           ftdi_set_bitmode(a.ctx, 0x00, 0x04) == 0;
}

/// Starts a fresh emulated hub (the variable differs from the last one) with a transcript.
QString freshHub(const QTemporaryDir& dir, const QString& extra) {
    static int n = 0;
    const QString log = dir.filePath(QStringLiteral("usb%1.log").arg(++n));
    qputenv("VQX250_USBEMU",
            QStringLiteral("serial=EMU%1 transcript=%2 %3").arg(n).arg(log, extra).toUtf8());
    return log;
}

QString readText(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestUsbLibftdi : public QObject {
    Q_OBJECT
private slots:
    void listLikeTheVendorLibrary() {
        Rig rig;
        std::uint32_t n = 0;
        QCOMPARE(rig.driver->CreateDeviceInfoList(&n), FT_STATUS{FT_OK});
        QCOMPARE(n, 9u);
        std::vector<DeviceListNode> nodes(n);
        QCOMPARE(rig.driver->GetDeviceInfoList(nodes.data(), &n), FT_STATUS{FT_OK});
        QCOMPARE(n, 9u);
        const struct {
            std::uint32_t id;
            const char* serial;
            const char* description;
            std::uint32_t type;
        } expected[] = {
            {0x04036001, "A1B2C3", "FT232R USB UART", 5},
            {0x5A3C2207, "VQX25001A", "VQX250 Hub A", 6},
            {0x5A3C2207, "VQX25001B", "VQX250 Hub B", 6},
            {0x04036011, "FT4XA", "Quad RS232-HS A", 7},
            {0x04036011, "FT4XB", "Quad RS232-HS B", 7},
            {0x04036011, "FT4XC", "Quad RS232-HS C", 7},
            {0x04036011, "FT4XD", "Quad RS232-HS D", 7},
            {0x04036010, "ABCDEFGHIJKLMNA", "Dual RS232-HS A", 6}, // cut to 15 characters
            {0x04036010, "ABCDEFGHIJKLMNB", "Dual RS232-HS B", 6},
        };
        for (std::size_t i = 0; i < 9; ++i) {
            QCOMPARE(nodes[i].ID, expected[i].id);
            QCOMPARE(QString(nodes[i].SerialNumber), QString(expected[i].serial));
            QCOMPARE(QString(nodes[i].Description), QString(expected[i].description));
            QCOMPARE(nodes[i].Type, expected[i].type);
            QCOMPARE(nodes[i].Flags, 0u);
        }
        QCOMPARE(nodes[1].LocId, 0x21u);
        QCOMPARE(nodes[2].LocId, 0x22u);
        // A short array gets as many nodes as fit.
        std::uint32_t two = 2;
        QCOMPARE(rig.driver->GetDeviceInfoList(nodes.data(), &two), FT_STATUS{FT_OK});
        QCOMPARE(two, 2u);
    }

    void hubOpensThroughLibftdi() {
        Rig rig;
        std::uint8_t count = 0;
        QCOMPARE(rig.usb->CountHubs(count), 0);
        QCOMPARE(int(count), 1);
        QCOMPARE(rig.usb->Open(0), 0);
        using P = std::pair<std::size_t, int>;
        QCOMPARE(rig.script.opens, (std::vector<P>{P{1, 0}, P{1, 1}}));
        const std::vector<std::string> log = {
            "usbTimeouts A 1000 1000", "usbTimeouts B 1000 1000", // defaults on open
            "usbTimeouts A 1000 1000", "purge A rx tx",           "baud A 115200",
            "bitmode A 0 4",           "usbTimeouts B 1000 1000", "purge B rx tx"};
        QCOMPARE(rig.script.log, log);
        // Open channels carry the "opened" flag in the list.
        std::uint32_t n = 9;
        std::vector<DeviceListNode> nodes(n);
        QCOMPARE(rig.driver->GetDeviceInfoList(nodes.data(), &n), FT_STATUS{FT_OK});
        QCOMPARE(nodes[1].Flags & 1u, 1u);
        QCOMPARE(nodes[2].Flags & 1u, 1u);
        QCOMPARE(nodes[0].Flags & 1u, 0u);
        // Reading hub registers goes through the emulated reads.
        rig.script.readData = {0x21, 0x93, 0x05, 0x00};
        rig.script.readChunks = {0, 1, 0, 3};
        std::uint8_t b[4] = {};
        QCOMPARE(rig.usb->ReadRegs(2, b, 2), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(b), 4), QByteArray::fromHex("21930500"));
        QCOMPARE(rig.script.written, (std::vector<std::uint8_t>{0xC2, 2, 0, 0, 0, 0}));
        rig.usb.reset();
        QCOMPARE(rig.script.log.back(), std::string("close B"));
    }

    void readWaitsForAllBytes() {
        Rig rig;
        FT_HANDLE h = nullptr;
        std::uint32_t n = 0;
        QCOMPARE(rig.driver->CreateDeviceInfoList(&n), FT_STATUS{FT_OK});
        QCOMPARE(rig.driver->Open(0, &h), FT_STATUS{FT_OK});
        rig.script.readData = {1, 2, 3, 4, 5};
        rig.script.readChunks = {0, 0, 3, 0, 2};
        std::uint8_t buf[5] = {};
        std::uint32_t got = 0;
        QCOMPARE(rig.driver->Read(h, buf, 5, &got), FT_STATUS{FT_OK});
        QCOMPARE(got, 5u);
        QCOMPARE(rig.script.reads, 5);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 5), QByteArray::fromHex("0102030405"));
    }

    void readEndsAtTheTimeout_data() {
        QTest::addColumn<int>("readMs");
        QTest::addColumn<QList<int>>("chunks");
        QTest::addColumn<int>("got");
        QTest::addColumn<int>("calls");
        QTest::newRow("nothing, 1000 ms") << 1000 << QList<int>{} << 0 << 10;
        QTest::newRow("nothing, 300 ms") << 300 << QList<int>{} << 0 << 3;
        QTest::newRow("two bytes, then nothing") << 1000 << QList<int>{2} << 2 << 10;
        QTest::newRow("late byte still counts")
            << 1000 << QList<int>{0, 0, 0, 0, 0, 0, 0, 0, 0, 1} << 1 << 10;
    }
    void readEndsAtTheTimeout() {
        QFETCH(int, readMs);
        QFETCH(QList<int>, chunks);
        QFETCH(int, got);
        QFETCH(int, calls);
        Rig rig;
        FT_HANDLE h = nullptr;
        QCOMPARE(rig.driver->Open(0, &h), FT_STATUS{FT_OK});
        QCOMPARE(rig.driver->SetTimeouts(h, static_cast<std::uint32_t>(readMs), 1000),
                 FT_STATUS{FT_OK});
        rig.script.readData = {9, 9, 9, 9};
        rig.script.readChunks.assign(chunks.begin(), chunks.end());
        std::uint8_t buf[4] = {};
        std::uint32_t n = 77;
        QCOMPARE(rig.driver->Read(h, buf, 4, &n), FT_STATUS{FT_OK});
        QCOMPARE(int(n), got);
        QCOMPARE(rig.script.reads, calls);
    }

    void writeEmulation() {
        Rig rig;
        FT_HANDLE h = nullptr;
        QCOMPARE(rig.driver->Open(0, &h), FT_STATUS{FT_OK});
        const std::uint8_t data[7] = {1, 2, 3, 4, 5, 6, 7};
        rig.script.writeChunks = {3, 0, 4};
        std::uint32_t n = 0;
        QCOMPARE(rig.driver->Write(h, data, 7, &n), FT_STATUS{FT_OK});
        QCOMPARE(n, 7u);
        QCOMPARE(rig.script.writes, 3);
        // A channel that takes nothing ends at the write time-out with a partial count.
        rig.script.writes = 0;
        rig.script.writeChunks = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        QCOMPARE(rig.driver->Write(h, data, 7, &n), FT_STATUS{FT_OK});
        QCOMPARE(n, 2u);
        QCOMPARE(rig.script.writes, 10);
    }

    void writeInPieces_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<QList<int>>("statuses"); ///< libusb status of each transfer
        QTest::addColumn<QList<int>>("moved");    ///< bytes each transfer moves
        QTest::addColumn<int>("result");
        QTest::addColumn<QList<int>>("offered"); ///< bytes offered to each transfer
        QTest::newRow("all in pieces")
            << 10000 << 4096 << QList<int>{0, 0, 0} << QList<int>{4096, 4096, 1808} << 10000
            << QList<int>{4096, 4096, 1808};
        QTest::newRow("time-out in the second piece keeps the count")
            << 10000 << 4096 << QList<int>{0, ftdi::kUsbErrorTimeout} << QList<int>{4096, 100}
            << 4196 << QList<int>{4096, 4096};
        QTest::newRow("time-out with nothing moved")
            << 6 << 4096 << QList<int>{ftdi::kUsbErrorTimeout} << QList<int>{0} << 0
            << QList<int>{6};
        QTest::newRow("other failure") << 5000 << 4096 << QList<int>{0, -1} << QList<int>{4096, 10}
                                       << -1 << QList<int>{4096, 904};
        QTest::newRow("no piece size: 4096")
            << 5000 << 0 << QList<int>{0, 0} << QList<int>{4096, 904} << 5000
            << QList<int>{4096, 904};
        QTest::newRow("nothing to write")
            << 0 << 4096 << QList<int>{} << QList<int>{} << 0 << QList<int>{};
    }
    void writeInPieces() {
        QFETCH(int, size);
        QFETCH(int, pieceSize);
        QFETCH(QList<int>, statuses);
        QFETCH(QList<int>, moved);
        QFETCH(int, result);
        QFETCH(QList<int>, offered);
        std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i);
        QList<int> seen;
        bool contiguous = true;
        const std::uint8_t* expectedStart = data.data();
        const int n =
            ftdi::writeInPieces(data.data(), size, pieceSize,
                                [&](const std::uint8_t* piece, int length, int* transferred) {
                                    const auto call = seen.size();
                                    seen << length;
                                    contiguous = contiguous && piece == expectedStart;
                                    if (call >= statuses.size())
                                        return -99; // more transfers than the row expects
                                    *transferred = moved[call];
                                    expectedStart += moved[call];
                                    return statuses[call];
                                });
        QCOMPARE(n, result);
        QCOMPARE(seen, offered);
        QVERIFY(contiguous); // each piece starts behind the bytes already accepted
    }

    void partialWriteAtTheTimeoutIsContinued() {
        // Each USB write takes the whole 1000 ms time-out and the chip accepts part of the
        // request: FT_Write returns that part, and the hub link sends the rest.
        Rig rig;
        QCOMPARE(rig.usb->Open(0), 0);
        rig.script.written.clear();
        rig.script.writes = 0;
        rig.script.step = std::chrono::milliseconds(1000);
        rig.script.writeChunks = {4, 2};
        const std::uint32_t word = 0x80000601;
        QCOMPARE(rig.usb->WriteRegs(10, &word, 1), 0);
        QCOMPARE(rig.script.writes, 2);
        QCOMPARE(rig.script.written,
                 (std::vector<std::uint8_t>{0x8A, 0x01, 0x0C, 0x00, 0x00, 0x08}));
    }

    void transferErrors() {
        Rig rig;
        FT_HANDLE h = nullptr;
        QCOMPARE(rig.driver->Open(0, &h), FT_STATUS{FT_OK});
        rig.script.readData = {1, 2};
        rig.script.readChunks = {1, -1};
        std::uint8_t buf[2] = {};
        std::uint32_t n = 0;
        QCOMPARE(rig.driver->Read(h, buf, 2, &n), FT_STATUS{FT_IO_ERROR});
        QCOMPARE(n, 1u);
        QVERIFY(QString::fromStdString(rig.driver->lastError()).contains("fake failure"));
        rig.script.writeChunks = {-1};
        QCOMPARE(rig.driver->Write(h, buf, 2, &n), FT_STATUS{FT_IO_ERROR});
        QVERIFY(!rig.driver->permissionDenied());
    }

    void handlesAndIndices() {
        Rig rig;
        FT_HANDLE h = nullptr;
        QCOMPARE(rig.driver->Open(9, &h), FT_STATUS{FT_DEVICE_NOT_FOUND});
        QCOMPARE(rig.driver->Open(-1, &h), FT_STATUS{FT_DEVICE_NOT_FOUND});
        QCOMPARE(rig.driver->Open(3, &h), FT_STATUS{FT_OK});
        FT_HANDLE again = nullptr;
        QCOMPARE(rig.driver->Open(3, &again), FT_STATUS{FT_DEVICE_NOT_OPENED});
        using P = std::pair<std::size_t, int>;
        QCOMPARE(rig.script.opens, (std::vector<P>{P{2, 0}})); // the FT4232H's channel A
        int bogus = 0;
        QCOMPARE(rig.driver->Purge(&bogus, 3), FT_STATUS{FT_INVALID_HANDLE});
        QCOMPARE(rig.driver->Close(h), FT_STATUS{FT_OK});
        QCOMPARE(rig.driver->Close(h), FT_STATUS{FT_INVALID_HANDLE});
    }

    void permissionDenied() {
        Rig rig;
        rig.api->openError = ftdi::OpenError::NoPermission;
        QCOMPARE(rig.usb->Open(0), int(FT_DEVICE_NOT_OPENED));
        QVERIFY(!rig.usb->IsOpen());
        QVERIFY(rig.driver->permissionDenied());
        const QString text = QString::fromStdString(rig.driver->lastError());
        QVERIFY2(text.contains("VQX25001A"), qPrintable(text));
        // The hint is the programs' to add, once; the driver's account does not carry it.
        QVERIFY2(!text.contains("udev") && !text.contains(QString::fromUtf8(kUdevHint)),
                 qPrintable(text));
    }

    void errorStateIsCleared_data() {
        QTest::addColumn<QString>("failure");
        QTest::newRow("permission") << "permission";
        QTest::newRow("list") << "list";
    }
    void errorStateIsCleared() {
        QFETCH(QString, failure);
        Rig rig;
        if (failure == "permission") {
            rig.api->openError = ftdi::OpenError::NoPermission;
            QCOMPARE(rig.usb->Open(0), int(FT_DEVICE_NOT_OPENED));
            QVERIFY(rig.driver->permissionDenied());
        } else {
            rig.api->failEnumerate = true;
            std::uint8_t count = 0;
            QCOMPARE(rig.usb->CountHubs(count), int(FT_OTHER_ERROR));
        }
        QVERIFY(!rig.driver->lastError().empty());
        rig.api->openError = ftdi::OpenError::None;
        rig.api->failEnumerate = false;
        // A later successful list clears the account ...
        std::uint32_t n = 0;
        QCOMPARE(rig.driver->CreateDeviceInfoList(&n), FT_STATUS{FT_OK});
        QCOMPARE(QString::fromStdString(rig.driver->lastError()), QString());
        QVERIFY(!rig.driver->permissionDenied());
        // ... and so does a later successful open, without a list in between.
        rig.api->openError = ftdi::OpenError::NoPermission;
        FT_HANDLE h = nullptr;
        QCOMPARE(rig.driver->Open(1, &h), FT_STATUS{FT_DEVICE_NOT_OPENED});
        QVERIFY(rig.driver->permissionDenied());
        rig.api->openError = ftdi::OpenError::None;
        QCOMPARE(rig.driver->Open(1, &h), FT_STATUS{FT_OK});
        QCOMPARE(QString::fromStdString(rig.driver->lastError()), QString());
        QVERIFY(!rig.driver->permissionDenied());
        // The whole hub opens, and nothing of the old failure is left to report.
        QCOMPARE(rig.driver->Close(h), FT_STATUS{FT_OK});
        QCOMPARE(rig.usb->Open(0), 0);
        QVERIFY(rig.driver->lastError().empty() && !rig.driver->permissionDenied());
    }

    void listFailure() {
        Rig rig;
        rig.api->failEnumerate = true;
        std::uint8_t count = 3;
        QCOMPARE(rig.usb->CountHubs(count), int(FT_OTHER_ERROR));
        QCOMPARE(int(count), 3);
        QVERIFY(QString::fromStdString(rig.driver->lastError()).contains("no USB"));
    }

    // Requests the chip or the hub would not accept fail and are reported as rejected.
    void emulatedChipRejects_data() {
        QTest::addColumn<int>("mistake");
        QTest::addColumn<QString>("reason");
        QTest::newRow("none") << 0 << QString();
        QTest::newRow("bit mode before baud rate") << 1 << "bit mode before baud rate";
        QTest::newRow("wrong interface index") << 2 << "wrong interface index";
        QTest::newRow("read on the wrong endpoint") << 3 << "read on the wrong endpoint";
        QTest::newRow("channel B before channel A") << 4 << "while channel A is not";
    }
    void emulatedChipRejects() {
        if (!emulationLoaded())
            QSKIP("needs libvqx250-usbemu.so preloaded");
        QFETCH(int, mistake);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString log = freshHub(dir, QString());
        Channel a(INTERFACE_A);
        Channel b(INTERFACE_B);
        QVERIFY(a.ok && b.ok);
        const unsigned char request[] = {0xC2, 0x02, 0x00, 0x00, 0x00, 0x00};
        unsigned char reply[4] = {};
        int rc = 0;
        switch (mistake) {
        case 0:
            QVERIFY(setUpChannelA(a));
            QCOMPARE(ftdi_write_data(b.ctx, request, 6), 6);
            rc = ftdi_read_data(b.ctx, reply, 4);
            QCOMPARE(rc, 4); // slot types 1, 2, 9, 7, 5, 0
            QCOMPARE(QByteArray(reinterpret_cast<char*>(reply), 4),
                     QByteArray("\x21\x79\x05\x00", 4));
            break;
        case 1:
            rc = ftdi_set_bitmode(a.ctx, 0x00, 0x04); // still at libftdi's 9600 baud
            break;
        case 2:
            QVERIFY(setUpChannelA(a));
            b.ctx->index = INTERFACE_A;
            rc = ftdi_set_latency_timer(b.ctx, 2);
            break;
        case 3:
            QVERIFY(setUpChannelA(a));
            QCOMPARE(ftdi_write_data(b.ctx, request, 6), 6);
            b.ctx->out_ep = 0x81;
            rc = ftdi_read_data(b.ctx, reply, 4);
            break;
        case 4:
            rc = ftdi_write_data(b.ctx, request, 6);
            break;
        }
        const QString transcript = readText(log);
        if (mistake == 0) {
            QVERIFY2(!transcript.contains("REJECTED"), qPrintable(transcript));
        } else {
            QVERIFY2(rc < 0, qPrintable(QString::number(rc)));
            QVERIFY2(transcript.contains("REJECTED: ") && transcript.contains(reason),
                     qPrintable(transcript));
        }
    }

    // Every IN packet starts with the two modem-status bytes; the short packet that ends a
    // transfer waits for the latency timer.
    void emulatedChipPackets() {
        if (!emulationLoaded())
            QSKIP("needs libvqx250-usbemu.so preloaded");
        QTemporaryDir dir;
        freshHub(dir, QStringLiteral("packet=64"));
        Channel a(INTERFACE_A);
        Channel b(INTERFACE_B);
        QVERIFY(setUpChannelA(a) && b.ok);
        QCOMPARE(ftdi_set_latency_timer(b.ctx, 100), 0);
        unsigned char latency = 0;
        QCOMPARE(ftdi_get_latency_timer(b.ctx, &latency), 0);
        QCOMPARE(int(latency), 100);
        unsigned short status = 0;
        QCOMPARE(ftdi_poll_modem_status(b.ctx, &status), 0);
        QCOMPARE(status, 0x6031);
        // 40 words of register 2: 80 bytes, one full packet and a short one.
        const unsigned char request[] = {0xC2, 40, 0x00, 0x00, 0x00, 0x00};
        QCOMPARE(ftdi_write_data(b.ctx, request, 6), 6);
        unsigned char in[4096];
        int got = 0;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(libusb_bulk_transfer(b.ctx->usb_dev, 0x83, in, sizeof in, &got, 1000), 0);
        QVERIFY(clock.elapsed() >= 100);
        QCOMPARE(got, 64 + 2 + 18);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(in), 6),
                 QByteArray("\x31\x60\x21\x79\x05\x00", 6));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(in) + 64, 2), QByteArray("\x31\x60"));
        // Nothing more: the status bytes alone, again one latency period after the short
        // packet (measured from the first transfer's start, which came before both packets).
        QCOMPARE(libusb_bulk_transfer(b.ctx->usb_dev, 0x83, in, sizeof in, &got, 1000), 0);
        QVERIFY(clock.elapsed() >= 200);
        QCOMPARE(got, 2);
    }

    void deviceTypes() {
        QCOMPARE(LibFtdiDriver::deviceType(0x0700), 6u);
        QCOMPARE(LibFtdiDriver::deviceType(0x0500), 4u);
        QCOMPARE(LibFtdiDriver::deviceType(0x1000), 9u);
        QCOMPARE(LibFtdiDriver::deviceType(0x0001), 3u);
    }
};

QTEST_APPLESS_MAIN(TestUsbLibftdi)
#include "tst_usblibftdi.moc"
