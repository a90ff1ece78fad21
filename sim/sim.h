// Test-side control of the simulated Windows: the virtual clock, the log of
// platform calls, and the scripted pieces of the machine the product runs on.
#pragma once

#include <array>
#include <functional>
#include <initializer_list>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/windows.h"
#include "world/call_log.h"
#include "world/capture_device.h"
#include "world/faults.h"
#include "world/hid_devices.h"

namespace sim {

// A pointer argument as a test sees it: whether the product passed one at all.
enum class Pointer { null, set };

// A call's arguments and result as values, for tests to compare exactly.
struct CallValues {
    // What the call returned. A handle from the machine's handle table is its
    // number (CreateFileA's first 0x100, INVALID_HANDLE_VALUE -1); an address
    // (a memory block, a module, an entry point, the service status handle) is
    // 1 when set and 0 when null.
    std::optional<int64_t> result = std::nullopt;
    std::vector<int64_t> numbers = {};     // the numeric arguments, in order
    std::vector<Pointer> pointers = {};    // the pointer arguments, in order
    std::vector<std::string> strings = {}; // the text arguments, in order
    bool operator==(const CallValues&) const = default;
};
void PrintTo(const CallValues& values, std::ostream* out);

// One platform call as the product made it: virtual time in milliseconds, the
// Windows name of the call, its arguments (and result, after "->") as text for
// people to read, and as values for tests to compare. Calls still logged as
// text only leave the values empty.
struct Call {
    uint32_t time;
    std::string name;
    std::string args;
    CallValues values;
    DWORD thread = 0; // the calling thread, as GetCurrentThreadId names it
};

// A feature report that reached HidD_SetFeature, with its bytes and whether the
// device accepted it.
struct Report {
    uint32_t time;
    std::vector<uint8_t> bytes;
    bool accepted;
};

// The machine's one fault table (world/faults.h). Every platform call that can
// fail asks it, by its Windows name (the capture library's calls by their
// export names), at the virtual time of the call; the first rule added that
// applies wins. A reset empties it.
//
// A failing call returns what Windows returns when that call fails and leaves
// the rule's error as the last error, or, when the rule names none, the error
// Windows documents for it: CloseHandle, SetEvent, WaitForSingleObject,
// FreeLibrary and SetServiceStatus ERROR_INVALID_HANDLE; LocalAlloc,
// CreateThread, CreateEventA, MessageBoxA and the add of SetConsoleCtrlHandler
// ERROR_NOT_ENOUGH_MEMORY (its remove ERROR_INVALID_PARAMETER); CreateFileA
// ERROR_FILE_NOT_FOUND; GetFileAttributesA ERROR_FILE_NOT_FOUND (it returns
// INVALID_FILE_ATTRIBUTES); GetSystemDirectoryA and GetSystemWow64DirectoryA
// ERROR_INVALID_PARAMETER (they return 0); LoadLibraryExA and GetModuleFileNameA
// ERROR_MOD_NOT_FOUND; GetProcAddress ERROR_PROC_NOT_FOUND;
// SetDefaultDllDirectories ERROR_INVALID_PARAMETER; RegisterServiceCtrlHandlerA
// ERROR_SERVICE_NOT_IN_EXE; StartServiceCtrlDispatcherA
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT. timeSetEvent returns timer id 0 and
// timeKillEvent the rule's result (MMSYSERR_INVALPARAM when unset); neither sets
// a last error. A refused CloseHandle, FreeLibrary or timeKillEvent leaves its
// object as it was.
void AddFault(world::Fault fault);
// Ends every rule of that call from now on.
void MendFault(std::string_view call);
// How many calls of that name the fault table has counted since the reset.
int CallCount(std::string_view call);

// Waitable timers: CreateWaitableTimerExW accepts CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
// as Windows 10 1803 and later do, unless refused here: then it fails with
// ERROR_INVALID_PARAMETER as older Windows does (a reset accepts it again). A
// relative due time counts on the virtual clock, rounded up to whole milliseconds;
// periodic timers, completion routines and named timers are not simulated (the
// call fails with ERROR_INVALID_PARAMETER). WaitForMultipleObjects waits for the
// first object only (waitAll fails with ERROR_INVALID_PARAMETER) and returns the
// lowest index of those signalled; WaitForSingleObject waits on a timer as well.
// Rules: CreateWaitableTimerExW fails with ERROR_NOT_ENOUGH_MEMORY, SetWaitableTimer,
// CancelWaitableTimer and WaitForMultipleObjects with ERROR_INVALID_HANDLE when the
// rule names no error; timeBeginPeriod and timeEndPeriod return the rule's result
// (TIMERR_NOCANDO when unset) and change nothing.
void RefuseHighResolutionTimers(bool refuse);

// Forgets every call, device, timer and captured line, and sets the clock to 0
// in virtual mode. Threads the product started must have ended; they are joined.
void Reset();

// Switches to real time: Sleep really sleeps, scaled (0.1: a virtual second is a
// tenth of a real one), timers fire on threads of their own, and Now() reads the
// scaled real time since the switch. For the tests that need real threads.
void UseRealTime(double realPerVirtual);

// Runs action on the thread whose sleep passes the given virtual time (in real
// time, on a thread of its own), like a timer the test set.
void At(uint32_t time, std::function<void()> action);

// Milliseconds of virtual time since Reset.
uint32_t Now();

// Lets virtual time pass on the calling thread, exactly as Sleep does: timers that
// fall due run, in due order, at their due time.
void Advance(uint32_t milliseconds);

std::vector<Call> Calls();
std::vector<Call> CallsNamed(std::string_view name);
// The device calls (setupapi, hid, the capture library, "Blocked") as the
// world recorded them, in the call log's format (world/call_log.h): virtual
// milliseconds * 1000 in both clocks, process id 0, the simulated thread's id.
std::vector<world::CallRecord> DeviceCallRecords();
// The feature reports sent, from the first-th on.
std::vector<Report> Reports(size_t first = 0);

// Lines that the product passed to OutputDebugStringA, without their line ends.
std::vector<std::string> DebugLines();

// From now on timeSetEvent hands out the lowest id that no pending timer has, so
// that a timer that fired or was killed leaves its id to the next one, as older
// Wine did; Windows documents no uniqueness of the ids. A reset ends it.
void RepeatTimerIds(bool repeat);
// Real-time mode: waits until that many multimedia timer callbacks have returned
// since the reset; false when they did not within the time.
bool WaitForCallbacksDone(int count, uint32_t realTimeoutMs);

// The multimedia timers that are set and have not fired or been killed.
size_t PendingTimers();
// Real-time mode: waits until no timer is pending and no callback runs.
void WaitForTimers();

// What the product holds at the moment, for leak checks.
struct Resources {
    int deviceHandles = 0;  // files opened with CreateFileA
    int deviceSets = 0;     // SetupDiGetClassDevsA lists not destroyed
    int localBlocks = 0;    // LocalAlloc blocks not freed
    int preparsedData = 0;  // HidD_GetPreparsedData blocks not freed
    int loadedModules = 0;  // LoadLibraryExA references not freed
    int events = 0;         // event handles not closed
    int threads = 0;        // thread handles not closed
    int serviceHandles = 0; // OpenSCManagerA and OpenServiceA handles not closed
    int registryKeys = 0;   // RegCreateKeyExA keys not closed
    int waitableTimers = 0; // CreateWaitableTimerExW handles not closed
    int timerPeriods = 0;   // timeBeginPeriod calls without their timeEndPeriod
    bool operator==(const Resources&) const = default;
};
Resources Held();
// The most of each that was held at any one time since Reset.
Resources PeakHeld();

// Turns the call log (and the peak bookkeeping that rides on it) off, for
// benchmarks and long runs that measure the product rather than the simulation.
void SetCallLogging(bool on);
// Turns the record of feature reports off, for benchmarks.
void SetReportRecording(bool on);

// The DLL loader. Each module lies in one folder of the machine. LoadLibraryExA
// looks for a bare file name, ignoring case, in the folders its search flags
// name (LOAD_LIBRARY_SEARCH_APPLICATION_DIR, then LOAD_LIBRARY_SEARCH_SYSTEM32);
// without search flags in those that SetDefaultDllDirectories set, and without
// those in the classic order: the program's folder, System32, the Windows
// folder, the current directory, the folders on PATH. The first folder holding
// the name decides. Nothing found fails with ERROR_MOD_NOT_FOUND (126); a
// module registered with a load error fails with that error
// (ERROR_BAD_EXE_FORMAT, 193, for a 64-bit DLL). A load is where a real DLL's
// DllMain would run.
enum class DllFolder { Application, System32, Windows, CurrentDirectory, PathFolder };
struct Export {
    std::string name;
    FARPROC address;
};
template <typename Function> FARPROC Proc(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}
// A module registered again in the same folder while it is not loaded replaces
// the first, as a file copied over it would (its load counts go on).
void RegisterModule(const std::string& fileName, std::vector<Export> exports, DWORD loadError = 0,
                    DllFolder folder = DllFolder::Application);
// Successful loads and FreeLibrary calls of the module of that name in that folder.
int ModuleLoads(const std::string& fileName, DllFolder folder = DllFolder::Application);
int ModuleFrees(const std::string& fileName, DllFolder folder = DllFolder::Application);
// What SetDefaultDllDirectories last set; 0 when it was not called.
DWORD DefaultDllDirectories();

// The machine's files are the modules registered, each under its folder's path:
// the program lies in C:\Joyvane (GetModuleFileNameA(nullptr) names
// C:\Joyvane\joyvane_service.exe), System32 is C:\Windows\System32, and
// GetFileAttributesA finds a registered module there, whether or not it would
// load. The machine is 32-bit Windows, where GetSystemWow64DirectoryA fails with
// ERROR_CALL_NOT_IMPLEMENTED, unless set to 64-bit: there this 32-bit program's
// System32 is C:\Windows\SysWOW64 (the name GetSystemWow64DirectoryA and the
// loaded modules' paths give), and C:\Windows\System32 names the same folder
// through the file system redirector. A reset makes it 32-bit again.
void SetWindows64(bool on);

// Present HID devices, as setupapi enumerates them and CreateFileA opens them
// (world/hid_devices.h: what they look like and how their calls answer).
using world::HidDevice;
using world::HidInterface;
using world::MultiSz;
void AddHidDevice(HidDevice device);
// Changes what the index-th device added looks like from now on.
void UpdateHidDevice(size_t index, HidDevice device);
// Unplugs every device: open handles stay open, but reports on them fail.
void RemoveHidDevices();

// A HID device handle of a virtual joystick that is always present, open as if by
// CreateFileA.
HANDLE OpenJoystickHandle();

// Everything the product wrote to standard output since the capture began.
// The capture redirects the process's standard output, so that printf and
// std::cout alike land here.
void BeginStdoutCapture();
std::string TakeStdout();
// Ends the capture; the captured text goes to the real standard output when echo is set.
void EndStdoutCapture(bool echo);

// Threads the product created that have not returned yet.
int RunningThreads();

// Holds the thread that makes the nth call of a platform function from now on
// (1: the next one) inside that call, before it takes effect, until the test lets it
// go; timeSetEvent holds after its timer is set, before the id is returned,
// ReleaseSRWLockExclusive after the lock is let go, and
// "(timer fires)" holds a timer's thread before its callback runs. The
// capture library's calls are named by their exports ("ZUR_USBIO_API_GetGPIO").
// Returns the hold's number. A reset lets every held thread go.
int HoldAt(std::string call, int nth = 1);
// Waits in real time until a thread is held there; false when none came in time.
bool WaitUntilHeld(int hold, uint32_t realTimeoutMs);
// Whether a thread is held there now.
bool Held(int hold);
void ReleaseHold(int hold);

// Delivers a console control (CTRL_C_EVENT, ...) to the handlers that the program
// installed, last installed first, as the console would; false when none took it.
// A logoff or a shutdown is never delivered: Windows does not call the handlers of
// a process that loaded user32.dll for them, and every program here does.
bool PressConsoleControl(DWORD controlType);
// The session ends, as Windows tells each top-level window: WM_QUERYENDSESSION to
// each (lParam ENDSESSION_LOGOFF for a logoff, 0 for a shutdown), then
// WM_ENDSESSION, each sent on the window's own thread and waited for. Once it
// returns, Windows may end the process at any moment. The number of windows that
// agreed to the end.
int EndSession(bool logoff);

// The service control manager. The process counts as started by it only when
// set; otherwise the dispatcher start fails as it does for a console start.
struct StatusReport {
    uint32_t time;
    SERVICE_STATUS status;
    BOOL result;
};
void StartedByServiceManager(bool started);
// Delivers a control to the service's handler on the dispatcher thread and
// returns once the handler has returned; false when no dispatcher runs or no
// handler is registered.
bool SendControl(DWORD control);
// Waits (in real time, at most timeoutMs) until a report of that state was made.
bool WaitForServiceState(DWORD state, uint32_t timeoutMs);
std::vector<StatusReport> StatusReports();
// On the virtual clock, the service's threads (the calling one, which runs the
// dispatcher, those the dispatcher and CreateThread start) take turns while on:
// one runs at a time, and one that waits passes the turn to the first that can go
// on at the present time or, none being able to, to the one whose wait ends
// first, which moves the clock. A run of the whole service is then as exact as a
// run of one thread. SendControl returns at once then: the control is handled
// when its sender next waits. Off again, every waiting thread goes on freely.
void TakeTurns(bool on);
// "state/checkpoint/waithint" per report, e.g. "2/1/3000 2/2/1000 4/0/0".
std::string StatusSequence();
// Whether the last dispatcher run saw ServiceMain return.
bool ServiceMainReturned();

// The capture-device library "ZUR_USBIO_KAD.dll" of a capture device on the
// simulated machine, registered with all fourteen exports. Its button follows a
// timeline of virtual times; its calls succeed unless scripted to fail.
using world::CaptureCall;
// Registered in the program's folder unless told, with every export but `without`.
void InstallCaptureLibrary(DllFolder folder = DllFolder::Application,
                           std::string_view without = "");
// The button state from each time on (before the first: up).
void SetButtonTimeline(std::vector<std::pair<uint32_t, int32_t>> timeline);
// The whole device at once, as a scenario describes it.
void SetCaptureDevice(world::CaptureDevice device);
// Runs hook after each call to the library, with the call and its running number
// (counted from 1 per call kind).
void OnCaptureCall(std::function<void(CaptureCall call, int number)> hook);

// Files that LoadLibraryExA opens as data (LOAD_LIBRARY_AS_DATAFILE,
// LOAD_LIBRARY_AS_IMAGE_RESOURCE) by their full path, ignoring case, for
// FindResourceA to read their version resource: the bytes of its VS_VERSIONINFO
// block, or none: a file without a resource section, for which FindResourceA
// fails with ERROR_RESOURCE_DATA_NOT_FOUND (another type than RT_VERSION fails
// with ERROR_RESOURCE_TYPE_NOT_FOUND). FindResourceA, LoadResource and
// SizeofResource fail by rule with ERROR_RESOURCE_TYPE_NOT_FOUND,
// ERROR_RESOURCE_DATA_NOT_FOUND and ERROR_RESOURCE_DATA_NOT_FOUND when the rule
// names no error.
// A path that names no file fails with ERROR_FILE_NOT_FOUND. Such loads count
// in Held().loadedModules like any other.
void AddFile(const std::string& path, std::vector<uint8_t> versionResource = {});
// The VS_VERSIONINFO block that a resource compiler makes for that file version
// (FILEVERSION a,b,c,d), with its VS_FIXEDFILEINFO and no string tables.
std::vector<uint8_t> VersionResource(uint16_t a, uint16_t b, uint16_t c, uint16_t d);

// The service control manager's database: the installed services, as
// OpenSCManagerA and OpenServiceA find them. A service's state moves on the
// virtual clock: a stop control makes it STOP_PENDING and, stopMs later,
// STOPPED with exit code 0 (never, when it does not answer stops); a start
// makes it START_PENDING and, startMs later, RUNNING with a process id, or
// STOPPED with startExitCode when that is set (a service that gives up at its
// start). Service names are compared ignoring case.
//
// Calls fail as the fault table says, with the rule's error or, when it names
// none: OpenSCManagerA, OpenServiceA, ChangeServiceConfigA, ControlService and
// StartServiceA ERROR_ACCESS_DENIED; QueryServiceConfigA and QueryServiceStatusEx
// ERROR_INVALID_HANDLE; CloseServiceHandle ERROR_INVALID_HANDLE (the handle stays
// open). As a user without administrator rights (SetAdministrator(false)) the
// manager opens only with SC_MANAGER_CONNECT and SC_MANAGER_ENUMERATE_SERVICE and
// a service only with the rights that Windows' default service security gives
// interactive users (query config and status, enumerate dependents,
// interrogate, user-defined controls, read control); more is ERROR_ACCESS_DENIED.
struct InstalledService {
    std::string name = "ZUR Service 1.02";
    std::string imagePath;
    DWORD startType = SERVICE_AUTO_START;
    std::string account = "LocalSystem";
    DWORD state = SERVICE_STOPPED;
    DWORD exitCode = 0;
    DWORD specificExitCode = 0;
    DWORD processId = 0;
    uint32_t stopMs = 200;
    uint32_t startMs = 300;
    bool answersStop = true;
    DWORD startExitCode = 0;
};
void InstallService(InstalledService service);
// The service as it is now (its state brought up to the virtual time).
std::optional<InstalledService> Service(const std::string& name = "ZUR Service 1.02");
// Whether the program runs with administrator rights (a reset: it does).
void SetAdministrator(bool administrator);

// The registry (HKEY_LOCAL_MACHINE only). As on 64-bit Windows, a 32-bit
// program's keys under HKLM\SOFTWARE are those under HKLM\SOFTWARE\WOW6432Node
// unless it asks for KEY_WOW64_64KEY; paths here are full ("HKLM\SOFTWARE\...")
// and compared ignoring case. Without administrator rights RegCreateKeyExA of a
// key under HKLM for writing fails with ERROR_ACCESS_DENIED. RegCreateKeyExA and
// RegSetValueExA fail by rule with the rule's error (ERROR_ACCESS_DENIED when it
// names none) and RegCloseKey with ERROR_INVALID_HANDLE.
struct RegistryValue {
    DWORD type;
    std::string data; // the bytes as given, terminator and all
    bool operator==(const RegistryValue&) const = default;
};
void SetRegistryValue(const std::string& key, const std::string& name, RegistryValue value);
std::optional<RegistryValue> GetRegistryValue(const std::string& key, const std::string& name);
bool RegistryKeyExists(const std::string& key);

// The event log. RegisterEventSourceW succeeds for any source name, registered
// or not, as on Windows (an unregistered source's events are logged under the
// name with a note that their text cannot be found); it fails by rule with the
// rule's error (RPC_S_SERVER_UNAVAILABLE, the event log service not running,
// when it names none). ReportEventW fails by rule (ERROR_INVALID_HANDLE when
// unset) and with ERROR_INVALID_HANDLE for a handle that is not open;
// DeregisterEventSource with ERROR_INVALID_HANDLE. Each event reported is kept.
struct LoggedEvent {
    uint32_t time;
    std::string source;
    WORD type;
    DWORD id;
    std::vector<std::string> strings; // each character below 256 as its byte
    bool operator==(const LoggedEvent&) const = default;
};
std::vector<LoggedEvent> LoggedEvents();
// Event log handles open now.
int OpenEventSources();
// The account GetUserNameW names (a reset: "SYSTEM").
void SetUserName(const std::string& name);

} // namespace sim
