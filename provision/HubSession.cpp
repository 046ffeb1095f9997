#include "HubSession.h"

#include "CUsbHub.h"
#include "RecordTransfer.h"

namespace vqx::provision {

using namespace vqx::usb;

namespace {

QString describe(int code) {
    return QStringLiteral("%1 (code %2)")
        .arg(QString::fromUtf8(CUsbHub::Describe(code)))
        .arg(CUsbHub::ShownCode(code));
}

} // namespace

HubOpening openHub(CUsbHub& hub, int number) {
    HubOpening result;
    std::uint8_t count = 0;
    if (const int r = hub.CountHubs(count); r != 0) {
        result.stage = HubOpening::Stage::ListFailed;
        result.code = r;
        return result;
    }
    result.count = count;
    if (count == 0) {
        result.stage = HubOpening::Stage::NoHub;
        return result;
    }
    if (number < 0 || number >= count) {
        result.stage = HubOpening::Stage::NotThere;
        return result;
    }
    if (const int r = hub.Open(static_cast<std::uint8_t>(number)); r != 0) {
        result.stage = HubOpening::Stage::OpenFailed;
        result.code = r;
        const D2xxDriver* driver = hub.Driver();
        result.permissionDenied = driver && driver->permissionDenied();
    }
    return result;
}

HubSession::HubSession(std::unique_ptr<D2xxDriver> driver, int hubNumber)
    : m_standingNote(driver ? QString::fromStdString(driver->lastError()) : QString()),
      m_number(hubNumber) {
    m_hub = std::make_unique<CUsbHub>(std::move(driver));
}

QString hubLockName(const CUsbHub& hub, int number) {
    QString serial = QString::fromStdString(hub.OpenedSerial());
    if (serial.isEmpty())
        return QStringLiteral("hub-%1").arg(number);
    // A dual-channel device lists its channels as the serial number with "A" and "B".
    if (serial.size() > 1 && (serial.endsWith(u'A') || serial.endsWith(u'B')))
        serial.chop(1);
    return QStringLiteral("hub-%1").arg(serial);
}

QString HubSession::lockName() const {
    return hubLockName(*m_hub, m_number);
}

HubSession::~HubSession() = default;

Outcome HubSession::open() {
    if (m_open)
        return {};
    const HubOpening opening = openHub(*m_hub, m_number);
    const int count = opening.count;
    if (opening.stage == HubOpening::Stage::ListFailed) {
        const int r = opening.code;
        QString text =
            QStringLiteral("no device: listing the USB devices failed: %1").arg(describe(r));
        if (m_hub->Driver() && !m_hub->Driver()->lastError().empty())
            text +=
                QStringLiteral(" [%1]").arg(QString::fromStdString(m_hub->Driver()->lastError()));
        return Outcome::fail(Exit::Unreachable, text, r);
    }
    // A note the driver had from the start (a library that may not list the hub) explains a
    // hub that is not listed, and nothing else.
    const QString note =
        m_standingNote.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(m_standingNote);
    if (opening.stage == HubOpening::Stage::NoHub)
        return Outcome::fail(Exit::Unreachable,
                             QStringLiteral("no device: no hub is attached") + note);
    if (opening.stage == HubOpening::Stage::NotThere)
        return Outcome::fail(Exit::Unreachable,
                             QStringLiteral("no hub %1: %2 hub(s) attached, numbered from 0")
                                     .arg(m_number)
                                     .arg(count) +
                                 note);
    if (opening.stage == HubOpening::Stage::OpenFailed) {
        const int o = opening.code;
        QString text = QStringLiteral("%1 failure: opening it failed: %2").arg(name(), describe(o));
        if (const D2xxDriver* d = m_hub->Driver()) {
            const QString error = QString::fromStdString(d->lastError());
            if (!error.isEmpty() && error != m_standingNote)
                text += QStringLiteral(" [%1]").arg(error);
        }
        if (opening.permissionDenied)
            text += QStringLiteral("\n%1").arg(QString::fromUtf8(kUdevHint));
        return Outcome::fail(Exit::Unreachable, text, o);
    }
    m_open = true;
    return {};
}

void HubSession::select(int number) {
    m_hub->Close();
    m_open = false;
    m_number = number;
}

Outcome HubSession::count(int& hubs) {
    std::uint8_t n = 0;
    if (const int r = m_hub->CountHubs(n); r != 0)
        return Outcome::fail(
            Exit::Unreachable,
            QStringLiteral("no device: listing the USB devices failed: %1").arg(describe(r)), r);
    hubs = n;
    return {};
}

QString HubSession::serial() {
    std::string s;
    if (m_hub->HubSerial(static_cast<std::uint8_t>(m_number), s) != 0)
        return {};
    return QString::fromStdString(s);
}

Outcome HubSession::readSlotTypes(std::array<int, kSlotCount>& codes) {
    const int r = m_hub->ReadSlotTypes(codes);
    if (r != 0)
        return withDriverError(
            *m_hub, Outcome::fail(Exit::Device,
                                  QStringLiteral("%1 failure: reading the slot types failed: %2")
                                      .arg(name(), describe(r)),
                                  r));
    return {};
}

} // namespace vqx::provision
