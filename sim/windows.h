// The slice of the Windows API that the product calls, declared with the SDK's
// names for hosts that are not Windows. Every function here is implemented by the
// simulation in this folder; types and constants carry the SDK's values.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY

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
typedef size_t SIZE_T;
typedef void* HLOCAL;
typedef void* HDEVINFO;
typedef LONG NTSTATUS;
typedef intptr_t(WINAPI* FARPROC)();

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID* LPGUID;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// user32
#define MB_OK 0x00000000u
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Windows and their messages: a window belongs to the thread that created it, and
// gets its messages through that thread's GetMessageA; a message sent from another
// thread is handled there, inside GetMessageA, while the sender waits.
typedef intptr_t LRESULT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef uint16_t ATOM;
typedef LRESULT(CALLBACK* WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    void* hIcon;
    void* hCursor;
    void* hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};
struct POINT {
    LONG x;
    LONG y;
};
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG* LPMSG;
#define WM_DESTROY 0x0002u
#define WM_CLOSE 0x0010u
#define WM_QUERYENDSESSION 0x0011u
#define WM_QUIT 0x0012u
#define WM_ENDSESSION 0x0016u
#define ENDSESSION_LOGOFF 0x80000000u
// The program's own module for a null name; nullptr (ERROR_MOD_NOT_FOUND) otherwise.
HMODULE GetModuleHandleA(LPCSTR name);
ATOM RegisterClassA(const WNDCLASSA* windowClass);
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, void* menu, HINSTANCE instance,
                     LPVOID parameter);
BOOL DestroyWindow(HWND window);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL GetMessageA(LPMSG message, HWND window, UINT first, UINT last);
LRESULT DispatchMessageA(const MSG* message);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// kernel32
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_NOT_FOUND 1168u
#define ERROR_TIMEOUT 1460u
#define ERROR_INVALID_USER_BUFFER 1784u

#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define LPTR 0x0040u

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

void Sleep(DWORD milliseconds);
// Milliseconds of the clock; on Windows it moves in ticks of about 15.6 ms.
DWORD GetTickCount();
void OutputDebugStringA(LPCSTR text);
#define THREAD_TERMINATE 0x0001u
DWORD GetCurrentThreadId();
HANDLE OpenThread(DWORD desiredAccess, BOOL inheritHandle, DWORD threadId);
// Ends the synchronous I/O the thread is waiting in (here: a HidD_SetFeature held
// or blocked), which then fails with ERROR_OPERATION_ABORTED; FALSE with
// ERROR_NOT_FOUND when the thread waits in none.
BOOL CancelSynchronousIo(HANDLE thread);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Slim reader/writer locks and condition variables, statically initialised.
struct SRWLOCK {
    void* Ptr;
};
typedef SRWLOCK* PSRWLOCK;
#define SRWLOCK_INIT                                                                               \
    { nullptr }
struct CONDITION_VARIABLE {
    void* Ptr;
};
typedef CONDITION_VARIABLE* PCONDITION_VARIABLE;
#define CONDITION_VARIABLE_INIT                                                                    \
    { nullptr }
void AcquireSRWLockExclusive(PSRWLOCK lock);
BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);
BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD milliseconds,
                               ULONG flags);
void WakeAllConditionVariable(PCONDITION_VARIABLE condition);

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD controlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
DWORD GetLastError();
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE handle);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
#define MAX_PATH 260
DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size);
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
DWORD GetFileAttributesA(LPCSTR fileName);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemWow64DirectoryA(LPSTR buffer, UINT size);
BOOL FreeLibrary(HMODULE module);
HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);

// advapi32: the service control manager
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#define ERROR_SERVICE_NOT_IN_EXE 1083u
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004u
#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_PAUSE 0x00000002u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u
#define SERVICE_CONTROL_SHUTDOWN 0x00000005u

typedef struct SimServiceStatusHandle* SERVICE_STATUS_HANDLE;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status);

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

// setupapi
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPDRP_HARDWAREID 0x00000001u
#define REG_MULTI_SZ 7u

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                       PDWORD valueType, PBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// hid
#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000)
#define HIDP_STATUS_INVALID_PREPARSED_DATA ((NTSTATUS)0xC0110001)

typedef struct SimPreparsedData* PHIDP_PREPARSED_DATA;

struct HIDP_CAPS {
    USHORT Usage;
    USHORT UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
typedef HIDP_CAPS* PHIDP_CAPS;

void HidD_GetHidGuid(LPGUID hidGuid);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities);
BOOLEAN HidD_SetFeature(HANDLE device, PVOID report, ULONG length);

// kernel32: where LoadLibraryExA looks for a DLL named without a path (Windows 8
// and later; Windows 7 with update KB2533623)
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200u
#define LOAD_LIBRARY_SEARCH_USER_DIRS 0x00000400u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000u
BOOL SetDefaultDllDirectories(DWORD directoryFlags);
HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
