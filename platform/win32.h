// The one door from product code to the Windows API.
//
// Product code names Windows functions, types and constants exactly as the SDK
// does and includes only this header for them. A Windows build gets the real SDK;
// any other host gets the same names from the simulated Windows in sim/, which the
// tests script and observe.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
#include <setupapi.h>
// MinGW's HID headers declare C functions without extern "C" of their own.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#include "platform/system_dlls.h"

#else

#include "sim/windows.h"

#endif
