#include "TracingDriver.h"

#include <QByteArray>

namespace vqx::usb {

namespace {

QString hex(const void* data, std::uint32_t size) {
    return QString::fromLatin1(
        QByteArray(static_cast<const char*>(data), static_cast<int>(size)).toHex(' ').toUpper());
}

} // namespace

TracingDriver::TracingDriver(std::unique_ptr<D2xxDriver> inner,
                             std::function<void(const QString&)> trace)
    : m_inner(std::move(inner)), m_trace(std::move(trace)) {}

FT_STATUS TracingDriver::CreateDeviceInfoList(std::uint32_t* numDevs) {
    return m_inner->CreateDeviceInfoList(numDevs);
}
FT_STATUS TracingDriver::GetDeviceInfoList(DeviceListNode* list, std::uint32_t* numDevs) {
    return m_inner->GetDeviceInfoList(list, numDevs);
}
FT_STATUS TracingDriver::Open(int deviceIndex, FT_HANDLE* handle) {
    return m_inner->Open(deviceIndex, handle);
}
FT_STATUS TracingDriver::Close(FT_HANDLE handle) {
    return m_inner->Close(handle);
}
FT_STATUS TracingDriver::SetTimeouts(FT_HANDLE handle, std::uint32_t readMs,
                                     std::uint32_t writeMs) {
    return m_inner->SetTimeouts(handle, readMs, writeMs);
}
FT_STATUS TracingDriver::Purge(FT_HANDLE handle, std::uint32_t mask) {
    return m_inner->Purge(handle, mask);
}
FT_STATUS TracingDriver::SetBaudRate(FT_HANDLE handle, std::uint32_t baud) {
    return m_inner->SetBaudRate(handle, baud);
}
FT_STATUS TracingDriver::SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    return m_inner->SetBitMode(handle, mask, mode);
}
FT_STATUS TracingDriver::Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                               std::uint32_t* bytesWritten) {
    const FT_STATUS s = m_inner->Write(handle, buffer, bytesToWrite, bytesWritten);
    if (m_trace && s == FT_OK && *bytesWritten > 0)
        m_trace(QStringLiteral("> %1").arg(hex(buffer, *bytesWritten)));
    else if (m_trace && s != FT_OK)
        m_trace(QStringLiteral("> write failed, status %1").arg(s));
    return s;
}
FT_STATUS TracingDriver::Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                              std::uint32_t* bytesReturned) {
    const FT_STATUS s = m_inner->Read(handle, buffer, bytesToRead, bytesReturned);
    if (m_trace && s == FT_OK && *bytesReturned > 0)
        m_trace(QStringLiteral("< %1").arg(hex(buffer, *bytesReturned)));
    else if (m_trace && s != FT_OK)
        m_trace(QStringLiteral("< read failed, status %1").arg(s));
    return s;
}

} // namespace vqx::usb
