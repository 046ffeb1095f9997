// A D2XX library that lacks FT_SetBitMode, to show that such a library is refused.

#include "VendorAbi.h"

namespace abi = vqx::usb::abi;

VQX_FTEXPORT abi::Status VQX_FTAPI FT_CreateDeviceInfoList(abi::Dword* n) {
    *n = 0;
    return 0;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_GetDeviceInfoList(abi::Node*, abi::Dword* n) {
    *n = 0;
    return 0;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Open(int, abi::Handle*) {
    return 2;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Close(abi::Handle) {
    return 0;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_SetTimeouts(abi::Handle, abi::Dword, abi::Dword) {
    return 0;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Purge(abi::Handle, abi::Dword) {
    return 0;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_SetBaudRate(abi::Handle, abi::Dword) {
    return 0;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Write(abi::Handle, void*, abi::Dword, abi::Dword*) {
    return 0;
}
VQX_FTEXPORT abi::Status VQX_FTAPI FT_Read(abi::Handle, void*, abi::Dword, abi::Dword*) {
    return 0;
}
