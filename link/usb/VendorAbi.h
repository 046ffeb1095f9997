#pragma once
// The vendor's public D2XX C ABI for the ten functions this project uses, and for
// FT_SetVIDPID (Linux and macOS only), which makes the library list a custom USB id. Status, counts
// and time-outs are 32-bit unsigned (ULONG/DWORD), FT_HANDLE is a pointer, and a device-list node
// is four 32-bit fields, char[16], char[64] and the handle, in the platform's natural layout.
// Shared by the run-time loading backend and the in-tree stand-in library.

#include <cstdint>

#if defined(_WIN32)
#define VQX_FTAPI __stdcall
#else
#define VQX_FTAPI
#endif

// Marks a function that a library standing in for the vendor's exports (tests only).
#if defined(_WIN32)
#define VQX_FTEXPORT extern "C" __declspec(dllexport)
#else
#define VQX_FTEXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vqx::usb::abi {

using Status = std::uint32_t;
using Dword = std::uint32_t;
using Handle = void*;

struct Node {
    Dword Flags;
    Dword Type;
    Dword ID;
    Dword LocId;
    char SerialNumber[16];
    char Description[64];
    Handle ftHandle;
};

using CreateDeviceInfoListFn = Status(VQX_FTAPI*)(Dword* numDevs);
using GetDeviceInfoListFn = Status(VQX_FTAPI*)(Node* list, Dword* numDevs);
using OpenFn = Status(VQX_FTAPI*)(int deviceNumber, Handle* handle);
using CloseFn = Status(VQX_FTAPI*)(Handle handle);
using SetTimeoutsFn = Status(VQX_FTAPI*)(Handle handle, Dword readTimeout, Dword writeTimeout);
using PurgeFn = Status(VQX_FTAPI*)(Handle handle, Dword mask);
using SetBaudRateFn = Status(VQX_FTAPI*)(Handle handle, Dword baudRate);
using SetBitModeFn = Status(VQX_FTAPI*)(Handle handle, unsigned char mask, unsigned char mode);
using WriteFn = Status(VQX_FTAPI*)(Handle handle, void* buffer, Dword bytesToWrite,
                                   Dword* bytesWritten);
using ReadFn = Status(VQX_FTAPI*)(Handle handle, void* buffer, Dword bytesToRead,
                                  Dword* bytesReturned);
using SetVidPidFn = Status(VQX_FTAPI*)(Dword vid, Dword pid);

} // namespace vqx::usb::abi
