// The capture-device I/O library ("ZUR_USBIO_KAD.dll"), a closed DLL from the
// capture device's maker, loaded at run time: its entry-point table and the six
// calls the worker makes.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// What the library's GPIO entry point stores: 1 the button is down, 3 it is up;
// anything else means nothing.
typedef int32_t GpioState;

constexpr GpioState gpioButtonDown = 1;
constexpr GpioState gpioButtonUp = 3;

// The maker documents no calling convention. The table declares __stdcall, the
// convention of Windows' own DLL exports; on 32-bit x86 every call that passes
// arguments goes through a thunk that restores the stack pointer afterwards, so a
// library built with __cdecl works just as well.
#if defined(_WIN32)
#define ZUR_USBIO_CALL __stdcall
#else
#define ZUR_USBIO_CALL
#endif

typedef int32_t(ZUR_USBIO_CALL* UsbIoNoArgs)(void);
typedef int32_t(ZUR_USBIO_CALL* UsbIoDeviceCall)(int32_t deviceIndex);
typedef int32_t(ZUR_USBIO_CALL* UsbIoGetGpioCall)(int32_t deviceIndex, GpioState* state);

// The library's module and its fourteen entry points, named after the exports.
// The worker calls six of them; the other eight are resolved for completeness and
// never called, and may be missing.
struct UsbIoApi {
    HMODULE module;
    FARPROC ZUR_USBIO_API_Init;
    FARPROC ZUR_USBIO_API_Destroy;
    FARPROC ZUR_USBIO_API_GetApiVersion;
    FARPROC ZUR_USBIO_API_Close;
    FARPROC ZUR_USBIO_API_Open;
    FARPROC ZUR_USBIO_API_SetCallback;
    FARPROC ZUR_USBIO_API_Start;
    FARPROC ZUR_USBIO_API_GetVideostandart;
    FARPROC ZUR_USBIO_API_SetReg;
    FARPROC ZUR_USBIO_API_GetReg;
    FARPROC ZUR_USBIO_API_GetGPIO;
    FARPROC ZUR_USBIO_API_SetI2c;
    FARPROC ZUR_USBIO_API_GetI2c;
    FARPROC ZUR_USBIO_API_InitI2c;
};

// Touched by the worker thread only.
extern UsbIoApi usbIoApi;

constexpr const char usbIoLibraryName[] = "ZUR_USBIO_KAD.dll";

// 1 when the library was loaded and every entry point the worker calls was found,
// with the path of the copy loaded traced; 0 otherwise, with nothing left loaded
// and nothing traced: the worker, which tries again and again, says why once.
int LoadUsbIoLibrary(const char* fileName);
void FreeUsbIoLibrary();

// Where the capture library would be loaded from by a program in programFolder
// (a full folder path without a trailing backslash): that folder first, then
// System32 (named as SysWOW64 where this 32-bit program runs on 64-bit Windows).
// Writes the full path of the first that holds the file into path and returns 1;
// when neither does, writes the path in programFolder, where it belongs, and
// returns 0. A path that does not fit size is not written (path becomes "") and 0 is returned.
int LocateUsbIoLibrary(const char* programFolder, char* path, DWORD size);

// Loads the library's file as LoadUsbIoLibrary does, without resolving anything;
// nullptr (with the error in GetLastError) when it cannot be loaded.
HMODULE LoadUsbIoModule(const char* fileName);

// The six entry points the worker calls.
extern const char* const usbIoCalledEntryPoints[6];

// Why the last LoadUsbIoLibrary failed: the Windows error code (126: no such file,
// 193: not a 32-bit DLL, 127: a called entry point is missing, ...), 0 after a load
// that worked.
DWORD UsbIoLoadError();
// After a 127: the first called entry point that the library lacks; else nullptr.
const char* UsbIoMissingEntryPoint();

// The six calls, each returning the library's own result. A call into a library
// that is not loaded fails without calling anything.
int32_t UsbIoInit();                                         // non-zero: success
int32_t UsbIoOpen(int32_t deviceIndex);                      // 0: success
int32_t UsbIoInitI2c();                                      // 0: success
int32_t UsbIoGetGpio(int32_t deviceIndex, GpioState* state); // 0: success, state stored
int32_t UsbIoClose(int32_t deviceIndex);                     // 0: success
int32_t UsbIoDestroy();                                      // result means nothing
