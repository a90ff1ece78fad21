// The slice of the Windows API that the product calls, declared with the SDK's
// names for hosts that are not Windows. Every function here is implemented by the
// simulation in this folder; types and constants carry the SDK's values.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int BOOL;
typedef unsigned char BOOLEAN;
typedef unsigned char BYTE;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef void* PVOID;
typedef void* LPVOID;
typedef void* HANDLE;
typedef void* HWND;
typedef void* HMODULE;
typedef HMODULE HINSTANCE;
typedef char CHAR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef BYTE* PBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef UINT MMRESULT;

#define WINAPI
#define CALLBACK
#define APIENTRY

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// user32
#define MB_OK 0x00000000u
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// kernel32
void Sleep(DWORD milliseconds);
void OutputDebugStringA(LPCSTR text);

// winmm
#define TIME_ONESHOT 0x0000u
#define TIME_CALLBACK_FUNCTION 0x0000u
#define MMSYSERR_NOERROR 0u
#define MMSYSERR_INVALPARAM 11u
typedef void(CALLBACK* LPTIMECALLBACK)(UINT timerId, UINT message, DWORD_PTR user, DWORD_PTR dw1,
                                       DWORD_PTR dw2);
MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                      UINT flags);
MMRESULT timeKillEvent(UINT timerId);

// hid
BOOLEAN HidD_SetFeature(HANDLE device, PVOID report, ULONG length);
