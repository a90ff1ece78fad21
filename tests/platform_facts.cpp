// What the product relies on about Windows, checked through the same names the
// product calls (platform/win32.h) and nothing else. Built for the host, where
// the simulated Windows answers, and for Windows, where it runs under Wine in the
// end-to-end step; the two must agree, or the difference is named here.
//
// One line per fact: "ok   FACT", "FAIL FACT: DETAIL", "skip FACT: REASON" (a
// fact that one side cannot show) or "wine-differs FACT: DETAIL" (Wine answers
// otherwise than Windows is documented to; not a failure under Wine only). Then
// "N skipped, M wine-differs" and "N passed, M failed"; the exit status is 1 when
// a fact failed.
//
// Times are measured with timers rather than a clock: the simulation's clock is
// virtual, and a timer that must (or must not) have fired by the end of a wait
// bounds the wait's length on both sides alike.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32.h"

#if !defined(_WIN32)
#include "sim/sim.h"
#endif

namespace {

int passed = 0;
int failed = 0;
int skipped = 0;
int differs = 0;
bool underWine = false;

void Check(bool ok, const std::string& fact, const std::string& detail = "") {
    if (ok) {
        ++passed;
        std::printf("ok   %s\n", fact.c_str());
    } else {
        ++failed;
        std::printf("FAIL %s: %s\n", fact.c_str(), detail.c_str());
    }
}

void Skip(const std::string& fact, const std::string& reason) {
    ++skipped;
    std::printf("skip %s: %s\n", fact.c_str(), reason.c_str());
}

// A fact whose Windows answer is expected, with what Wine answers instead: under
// Wine that answer is reported, not failed; anywhere else it fails.
void CheckOrWine(bool ok, bool wineAnswer, const std::string& fact, const std::string& detail) {
    if (!ok && underWine && wineAnswer) {
        ++differs;
        std::printf("wine-differs %s: %s\n", fact.c_str(), detail.c_str());
        return;
    }
    Check(ok, fact, detail);
}

std::string Text(const char* format, unsigned long long a, unsigned long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

bool EndsWithIgnoringCase(const std::string& text, const std::string& end) {
    if (text.size() < end.size()) {
        return false;
    }
    for (size_t i = 0; i < end.size(); ++i) {
        char a = text[text.size() - end.size() + i];
        char b = end[i];
        if ((a >= 'A' && a <= 'Z' ? a + 32 : a) != (b >= 'A' && b <= 'Z' ? b + 32 : b)) {
            return false;
        }
    }
    return true;
}

// The thread that runs main(); a callback that sees it set runs on that thread.
thread_local bool mainThread = false;

const DWORD searchAppAndSystem = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

// Where the DLLs that answer came from: on Windows each system DLL's path (Wine's
// own DLLs lie in its System32; a stand-in beside the program in its folder).
void PrintWhoAnswers() {
#if defined(_WIN32)
    const char* names[] = {"kernel32.dll", "winmm.dll", "advapi32.dll", "setupapi.dll", "hid.dll"};
    HMODULE ntdll = LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC wineVersion = ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
    underWine = wineVersion != nullptr;
    if (underWine) {
        auto version = reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(wineVersion));
        std::printf("platform: Wine %s\n", version());
    } else {
        std::printf("platform: Windows\n");
    }
    for (const char* name : names) {
        HMODULE module = LoadLibraryExA(name, nullptr, searchAppAndSystem);
        char path[MAX_PATH] = "";
        if (module != nullptr) {
            GetModuleFileNameA(module, path, MAX_PATH);
        }
        std::printf("answers: %s\n", module != nullptr ? path : name);
    }
#else
    std::printf("platform: the simulated Windows (sim/)\n");
#endif
}

// --- winmm: one-shot multimedia timers ------------------------------------------

struct TimerProbe {
    HANDLE fired = nullptr;
    std::atomic<int> runs{0};
    std::atomic<bool> onMainThread{false};
    bool killInside = false;
    std::atomic<UINT> killInsideResult{0xFFFFu};
};

void CALLBACK ProbeTimerProc(UINT timerId, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto* probe = reinterpret_cast<TimerProbe*>(user);
    probe->onMainThread.store(mainThread);
    if (probe->killInside) {
        probe->killInsideResult.store(timeKillEvent(timerId));
    }
    probe->runs.fetch_add(1);
    SetEvent(probe->fired);
}

UINT SetProbeTimer(TimerProbe& probe, UINT delay) {
    probe.fired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return timeSetEvent(delay, 1, ProbeTimerProc, reinterpret_cast<DWORD_PTR>(&probe),
                        TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
}

// TIMERR_NOCANDO (TIMERR_BASE + 1), Wine's answer for a timer that is gone.
const MMRESULT wineTimerGone = 97;

void TimerFacts() {
    // A fired one-shot timer: when, where, how often, and killing it afterwards.
    TimerProbe once;
    UINT id = SetProbeTimer(once, 100);
    Check(id != 0, "timeSetEvent (one-shot, 100 ms) returns a non-zero id");
    DWORD early = WaitForSingleObject(once.fired, 50);
    DWORD later = WaitForSingleObject(once.fired, 2000);
    Check(early == WAIT_TIMEOUT && later == WAIT_OBJECT_0,
          "the one-shot callback has not run 50 ms after timeSetEvent, and has by 2050 ms",
          Text("waits returned 0x%llx, then 0x%llx", early, later));
    HANDLE pause = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(pause, 300);
    Check(once.runs.load() == 1, "the one-shot callback runs once",
          Text("it ran %llu times", static_cast<unsigned long long>(once.runs.load())));
#if defined(_WIN32)
    Check(!once.onMainThread.load(), "the callback runs on a thread other than the caller's",
          "it ran on the thread that called timeSetEvent");
#else
    Skip("the callback runs on a thread other than the caller's",
         "the virtual clock runs a timer on the thread whose wait passes its due time, so that "
         "report sequences repeat exactly");
#endif
    // Windows documents MMSYSERR_INVALPARAM for a timer event that does not exist,
    // which a fired one-shot timer no longer does; Wine answers TIMERR_NOCANDO. The
    // product ignores the result either way.
    MMRESULT killed = timeKillEvent(id);
    CheckOrWine(killed == MMSYSERR_INVALPARAM, killed == wineTimerGone,
                "timeKillEvent after the one-shot has fired: MMSYSERR_INVALPARAM (11)",
                Text("returned %llu", killed));

    // A pending timer killed: no callback ever.
    TimerProbe pending;
    UINT pendingId = SetProbeTimer(pending, 100);
    MMRESULT killPending = timeKillEvent(pendingId);
    Check(killPending == MMSYSERR_NOERROR, "timeKillEvent on a pending timer: MMSYSERR_NOERROR (0)",
          Text("returned %llu", killPending));
    DWORD after = WaitForSingleObject(pending.fired, 300);
    Check(after == WAIT_TIMEOUT && pending.runs.load() == 0,
          "the killed timer's callback never runs (300 ms later)",
          Text("wait 0x%llx, %llu runs", after,
               static_cast<unsigned long long>(pending.runs.load())));

    // The callback kills its own timer.
    TimerProbe inside;
    inside.killInside = true;
    UINT insideId = SetProbeTimer(inside, 30);
    WaitForSingleObject(inside.fired, 2000);
    UINT insideResult = inside.killInsideResult.load();
    // The product's long-press callback kills its own spent timer and ignores the
    // result. Windows documents no case of a callback killing its own one-shot
    // timer, so which answer Windows gives is not known from its documentation; the
    // simulation answers as for any fired one-shot timer, and Wine still holds the
    // timer while its callback runs and kills it there.
    CheckOrWine(
        insideResult == MMSYSERR_INVALPARAM, insideResult == MMSYSERR_NOERROR,
        "timeKillEvent of its own id inside the one-shot callback: MMSYSERR_INVALPARAM (11)",
        Text("returned %llu", insideResult));
    MMRESULT killAgain = timeKillEvent(insideId);
    CheckOrWine(killAgain == MMSYSERR_INVALPARAM, killAgain == wineTimerGone,
                "... and after that callback returned, timeKillEvent: MMSYSERR_INVALPARAM (11)",
                Text("returned %llu", killAgain));
    CloseHandle(pause);
    CloseHandle(once.fired);
    CloseHandle(pending.fired);
    CloseHandle(inside.fired);
}

// --- kernel32: events, waits and handles ------------------------------------------

void WaitFacts() {
    // The length of a timed wait, bounded by two timers: one due before its end,
    // one due well after.
    TimerProbe before;
    TimerProbe beyond;
    SetProbeTimer(before, 20);
    UINT beyondId = SetProbeTimer(beyond, 400);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto start = std::chrono::steady_clock::now();
    DWORD result = WaitForSingleObject(event, 100);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    bool beforeRan = before.runs.load() == 1;
    bool beyondRan = beyond.runs.load() != 0;
    Check(
        result == WAIT_TIMEOUT && beforeRan && !beyondRan,
        "WaitForSingleObject on an unsignalled event, 100 ms: WAIT_TIMEOUT (0x102), after a "
        "20 ms timer and before a 400 ms one",
        Text("returned 0x%llx after %llu ms (real)", result, static_cast<unsigned long long>(ms)) +
            (beforeRan ? "" : ", 20 ms timer not run") + (beyondRan ? ", 400 ms timer run" : ""));
    timeKillEvent(beyondId);
    WaitForSingleObject(before.fired, INFINITE);

    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL set = SetEvent(manual);
    DWORD first = WaitForSingleObject(manual, 0);
    DWORD second = WaitForSingleObject(manual, 0);
    Check(set && first == WAIT_OBJECT_0 && second == WAIT_OBJECT_0,
          "a set manual-reset event: WAIT_OBJECT_0 at once, and it stays set",
          Text("waits returned 0x%llx, then 0x%llx", first, second));
    SetEvent(event);
    first = WaitForSingleObject(event, 0);
    second = WaitForSingleObject(event, 0);
    Check(first == WAIT_OBJECT_0 && second == WAIT_TIMEOUT,
          "a set auto-reset event: WAIT_OBJECT_0 once, then WAIT_TIMEOUT",
          Text("waits returned 0x%llx, then 0x%llx", first, second));

    BOOL closed = CloseHandle(manual);
    SetLastError(0);
    DWORD waited = WaitForSingleObject(manual, 0);
    DWORD waitError = GetLastError();
    Check(closed && waited == WAIT_FAILED && waitError == ERROR_INVALID_HANDLE,
          "WaitForSingleObject on a closed handle: WAIT_FAILED, ERROR_INVALID_HANDLE (6)",
          Text("returned 0x%llx, error %llu", waited, waitError));
    SetLastError(0);
    BOOL setClosed = SetEvent(manual);
    DWORD setError = GetLastError();
    Check(!setClosed && setError == ERROR_INVALID_HANDLE,
          "SetEvent on a closed handle: FALSE, ERROR_INVALID_HANDLE (6)",
          Text("returned %llu, error %llu", static_cast<unsigned long long>(setClosed), setError));
    SetLastError(0);
    BOOL closedTwice = CloseHandle(manual);
    DWORD closeError = GetLastError();
    Check(!closedTwice && closeError == ERROR_INVALID_HANDLE,
          "CloseHandle of a closed handle: FALSE, ERROR_INVALID_HANDLE (6)",
          Text("returned %llu, error %llu", static_cast<unsigned long long>(closedTwice),
               closeError));
    CloseHandle(event);
    CloseHandle(before.fired);
    CloseHandle(beyond.fired);
}

// --- kernel32 and winmm: waitable timers and the timer resolution ----------------

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (MinGW's headers lack it).
const DWORD highResolutionTimer = 0x00000002;

bool SetRelative(HANDLE timer, int64_t milliseconds) {
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * milliseconds;
    return SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != FALSE;
}

void WaitableTimerFacts() {
    // Windows 10 1803 and later take the flag; older Windows refuses it with
    // ERROR_INVALID_PARAMETER, and the worker then raises the timer resolution
    // instead. Which one this platform does is reported, either is right.
    SetLastError(0);
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, highResolutionTimer,
                                          SYNCHRONIZE | TIMER_MODIFY_STATE);
    DWORD error = GetLastError();
    Check(timer != nullptr || error == ERROR_INVALID_PARAMETER,
          "CreateWaitableTimerExW(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION): a timer, or NULL with "
          "ERROR_INVALID_PARAMETER (87) where the flag is unknown",
          Text("NULL, error %llu", error));
    std::printf("note: the high-resolution timer flag is %s\n",
                timer != nullptr ? "accepted" : "refused: the worker raises the resolution");
    const bool highResolution = timer != nullptr;
    if (timer == nullptr) {
        timer = CreateWaitableTimerExW(nullptr, nullptr, 0, SYNCHRONIZE | TIMER_MODIFY_STATE);
    }
    Check(timer != nullptr, "CreateWaitableTimerExW without flags: a timer",
          Text("NULL, error %llu", GetLastError()));
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[2] = {stop, timer};

    // A 30 ms relative due time: the wait on stop and timer returns the timer's
    // index, after a 15 ms timer and before a 60 ms one.
    TimerProbe before;
    TimerProbe beyond;
    SetProbeTimer(before, 15);
    UINT beyondId = SetProbeTimer(beyond, 60);
    auto start = std::chrono::steady_clock::now();
    bool set = SetRelative(timer, 30);
    DWORD result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    bool beforeRan = before.runs.load() == 1;
    bool beyondRan = beyond.runs.load() != 0;
    Check(set && result == WAIT_OBJECT_0 + 1 && beforeRan && !beyondRan,
          "a timer set 30 ms ahead, waited on with the stop event: WAIT_OBJECT_0 + 1, after a "
          "15 ms timer and before a 60 ms one",
          Text("set %llu, returned 0x%llx", set, result) + (beforeRan ? "" : ", 15 ms not run") +
              (beyondRan ? ", 60 ms run" : ""));
#if defined(_WIN32)
    std::printf("note: that 30 ms wait on the %s timer lasted %.2f ms (real)\n",
                highResolution ? "high-resolution" : "plain", static_cast<double>(us) / 1000.0);
#else
    (void)us;
    (void)highResolution;
#endif
    timeKillEvent(beyondId);
    WaitForSingleObject(beyond.fired, 100);

    // The stop set while the timer runs ends the wait with the stop's index.
    TimerProbe setter;
    setter.fired = stop;
    set = SetRelative(timer, 300);
    UINT setterId = timeSetEvent(20, 1, ProbeTimerProc, reinterpret_cast<DWORD_PTR>(&setter),
                                 TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
    TimerProbe late;
    UINT lateId = SetProbeTimer(late, 200);
    result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    Check(set && setterId != 0 && result == WAIT_OBJECT_0 && late.runs.load() == 0,
          "the stop event set 20 ms into a 300 ms timer: WaitForMultipleObjects returns "
          "WAIT_OBJECT_0 (the stop), before a 200 ms timer",
          Text("returned 0x%llx, 200 ms timer runs %llu", result,
               static_cast<unsigned long long>(late.runs.load())));
    timeKillEvent(lateId);

    // Both signalled: the lowest index wins, so a stop is never missed for a pause.
    set = SetRelative(timer, 0);
    WaitForSingleObject(late.fired, 30);
    result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    Check(set && result == WAIT_OBJECT_0,
          "stop event and fired timer both signalled: WaitForMultipleObjects returns WAIT_OBJECT_0",
          Text("returned 0x%llx", result));
    BOOL cancelled = CancelWaitableTimer(timer);
    Check(cancelled != FALSE, "CancelWaitableTimer of a fired timer: TRUE",
          Text("returned %llu, error %llu", static_cast<unsigned long long>(cancelled),
               GetLastError()));

    // The fallback's calls.
    MMRESULT begun = timeBeginPeriod(1);
    MMRESULT ended = timeEndPeriod(1);
    Check(begun == TIMERR_NOERROR && ended == TIMERR_NOERROR,
          "timeBeginPeriod(1), then timeEndPeriod(1): TIMERR_NOERROR (0) both",
          Text("returned %llu, then %llu", begun, ended));
    CloseHandle(timer);
    CloseHandle(stop);
    CloseHandle(before.fired);
    CloseHandle(beyond.fired);
    CloseHandle(late.fired);

#if !defined(_WIN32)
    // The simulation's Windows before 10 1803.
    sim::RefuseHighResolutionTimers(true);
    SetLastError(0);
    HANDLE old = CreateWaitableTimerExW(nullptr, nullptr, highResolutionTimer,
                                        SYNCHRONIZE | TIMER_MODIFY_STATE);
    Check(old == nullptr && GetLastError() == ERROR_INVALID_PARAMETER,
          "the simulation set to refuse the flag: NULL, ERROR_INVALID_PARAMETER (87)",
          Text("handle %llu, error %llu", old != nullptr, GetLastError()));
    sim::RefuseHighResolutionTimers(false);
#endif
}

std::atomic<bool> threadReturned{false};

DWORD WINAPI GatedThread(LPVOID gate) {
    WaitForSingleObject(static_cast<HANDLE>(gate), INFINITE);
    threadReturned.store(true);
    return 0;
}

void ThreadFacts() {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, GatedThread, gate, 0, nullptr);
    Check(thread != nullptr, "CreateThread returns a handle");
    if (thread == nullptr) {
        return;
    }
    DWORD running = WaitForSingleObject(thread, 50);
    Check(running == WAIT_TIMEOUT, "WaitForSingleObject on a running thread, 50 ms: WAIT_TIMEOUT",
          Text("returned 0x%llx", running));
    SetEvent(gate);
    // Untimed: the simulation's virtual clock would let a timed wait run out at
    // once while the thread still runs in real time.
    DWORD done = WaitForSingleObject(thread, INFINITE);
    Check(done == WAIT_OBJECT_0 && threadReturned.load(),
          "WaitForSingleObject on a thread handle: WAIT_OBJECT_0 once the thread has returned",
          Text("returned 0x%llx", done));
    CloseHandle(thread);
    CloseHandle(gate);
}

// The stop cancels a joystick write that its driver does not complete: it opens the
// writing thread by its id and cancels that thread's synchronous I/O. A thread
// that waits in no I/O (here: on an event) has nothing to cancel.
std::atomic<DWORD> gatedThreadId{0};

DWORD WINAPI IdentifiedGatedThread(LPVOID gate) {
    gatedThreadId.store(GetCurrentThreadId());
    WaitForSingleObject(static_cast<HANDLE>(gate), INFINITE);
    return 0;
}

#if defined(_WIN32)
// A thread blocked in a synchronous read of an empty pipe: the kind of wait that a
// HidD_SetFeature the driver does not complete is.
struct BlockedRead {
    HANDLE pipe;
    std::atomic<DWORD> threadId{0};
    std::atomic<BOOL> result{TRUE};
    std::atomic<DWORD> error{0};
};

DWORD WINAPI BlockedReader(LPVOID parameter) {
    auto* read = static_cast<BlockedRead*>(parameter);
    read->threadId.store(GetCurrentThreadId());
    char byte = 0;
    DWORD got = 0;
    BOOL result = ReadFile(read->pipe, &byte, 1, &got, nullptr);
    read->error.store(GetLastError());
    read->result.store(result);
    return 0;
}

void CancelBlockedReadFact() {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
        Check(false, "CreatePipe for the cancel fact", Text("error %llu", GetLastError()));
        return;
    }
    BlockedRead read;
    read.pipe = readEnd;
    HANDLE thread = CreateThread(nullptr, 0, BlockedReader, &read, 0, nullptr);
    while (read.threadId.load() == 0) {
        Sleep(1);
    }
    Sleep(100); // into the read
    HANDLE opened = OpenThread(THREAD_TERMINATE, FALSE, read.threadId.load());
    BOOL cancelled = opened != nullptr && CancelSynchronousIo(opened);
    bool ended = WaitForSingleObject(thread, 2000) == WAIT_OBJECT_0;
    bool ok = cancelled && ended && read.result.load() == FALSE &&
              read.error.load() == ERROR_OPERATION_ABORTED;
    CheckOrWine(ok, true,
                "CancelSynchronousIo ends another thread's blocked synchronous read: TRUE, the "
                "read fails with ERROR_OPERATION_ABORTED",
                Text("cancel %llu, read error %llu", cancelled, read.error.load()));
    if (!ended) {
        CloseHandle(writeEnd); // ends the read, so that the thread can be waited for
        writeEnd = nullptr;
        WaitForSingleObject(thread, INFINITE);
    }
    if (opened != nullptr) {
        CloseHandle(opened);
    }
    CloseHandle(thread);
    CloseHandle(readEnd);
    if (writeEnd != nullptr) {
        CloseHandle(writeEnd);
    }
}
#endif

void CancelFacts() {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, IdentifiedGatedThread, gate, 0, nullptr);
    if (thread == nullptr) {
        Check(false, "CreateThread for the cancel facts", "no thread");
        return;
    }
    while (gatedThreadId.load() == 0) {
        Sleep(1);
    }
    HANDLE opened = OpenThread(THREAD_TERMINATE, FALSE, gatedThreadId.load());
    Check(opened != nullptr, "OpenThread(THREAD_TERMINATE) on a thread of the process by its id",
          Text("error %llu", GetLastError()));
    if (opened != nullptr) {
        SetLastError(0);
        BOOL cancelled = CancelSynchronousIo(opened);
        DWORD error = GetLastError();
        Check(cancelled == FALSE && error == ERROR_NOT_FOUND,
              "CancelSynchronousIo on a thread in no I/O: FALSE, ERROR_NOT_FOUND",
              Text("returned %llu, error %llu", cancelled, error));
        CloseHandle(opened);
    }
    SetEvent(gate);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(gate);
#if defined(_WIN32)
    CancelBlockedReadFact();
#else
    Skip("CancelSynchronousIo ends another thread's blocked synchronous read",
         "the simulation has no pipes; its HidD_SetFeature ends on a cancel as Windows does");
#endif
}

// --- kernel32: SRW lock and condition variable --------------------------------------

SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
bool sleeping = false; // under lock
bool go = false;       // under lock
std::atomic<BOOL> sleepResult{FALSE};

DWORD WINAPI ConditionWaiter(LPVOID) {
    AcquireSRWLockExclusive(&lock);
    sleeping = true;
    BOOL result = TRUE;
    while (!go && result) {
        result = SleepConditionVariableSRW(&condition, &lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&lock);
    sleepResult.store(result);
    return 0;
}

void ConditionFacts() {
    HANDLE waiter = CreateThread(nullptr, 0, ConditionWaiter, nullptr, 0, nullptr);
    // The waiter sleeps once the lock is free and it has said so: it gave the
    // lock up inside SleepConditionVariableSRW.
    for (;;) {
        AcquireSRWLockExclusive(&lock);
        if (sleeping) {
            break;
        }
        ReleaseSRWLockExclusive(&lock);
        Sleep(1);
    }
    go = true;
    WakeAllConditionVariable(&condition);
    ReleaseSRWLockExclusive(&lock);
    DWORD woken = WaitForSingleObject(waiter, INFINITE);
    Check(woken == WAIT_OBJECT_0 && sleepResult.load(),
          "a waiter in SleepConditionVariableSRW is woken by WakeAllConditionVariable (TRUE)");
    CloseHandle(waiter);

    AcquireSRWLockExclusive(&lock);
    SetLastError(0);
    BOOL timedOut = SleepConditionVariableSRW(&condition, &lock, 30, 0);
    DWORD error = GetLastError();
    ReleaseSRWLockExclusive(&lock);
    Check(!timedOut && error == ERROR_TIMEOUT,
          "SleepConditionVariableSRW, 30 ms, no wake: FALSE, ERROR_TIMEOUT (1460)",
          Text("returned %llu, error %llu", static_cast<unsigned long long>(timedOut), error));
}

// --- kernel32: local heap and the loader -------------------------------------------

void HeapAndLoaderFacts() {
    const SIZE_T size = 256;
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, size));
    bool zero = block != nullptr;
    for (SIZE_T i = 0; zero && i < size; ++i) {
        zero = block[i] == 0;
    }
    Check(zero, "LocalAlloc(LPTR, 256) gives a zero-filled block");
    HLOCAL freed = LocalFree(block);
    Check(freed == nullptr, "LocalFree of that block returns NULL");

    SetLastError(0);
    HMODULE absent = LoadLibraryExA("joyvane_facts_absent.dll", nullptr, searchAppAndSystem);
    DWORD error = GetLastError();
    Check(absent == nullptr && error == ERROR_MOD_NOT_FOUND,
          "LoadLibraryExA of a name found nowhere, application folder and System32: NULL, "
          "ERROR_MOD_NOT_FOUND (126)",
          Text("error %llu", error));

#if defined(_WIN32)
    HMODULE module = LoadLibraryExA("kernel32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    char path[MAX_PATH] = "";
    DWORD length = module ? GetModuleFileNameA(module, path, MAX_PATH) : 0;
    std::string full(path, length);
    bool absolute = full.size() > 3 && full[1] == ':' && full[2] == '\\';
    Check(absolute && EndsWithIgnoringCase(full, "\\kernel32.dll"),
          "GetModuleFileNameA of a loaded module: its full path", "got \"" + full + "\"");
    if (module != nullptr) {
        FreeLibrary(module);
    }
#else
    Skip("GetModuleFileNameA of a loaded module: its full path",
         "the simulated loader knows only the modules a test registers");
#endif
}

// --- kernel32: where the capture library would come from -------------------------

// What LocateUsbIoLibrary relies on: the system folder's name, a look at a file
// that is not there, and a program path that does not fit.
void FileFacts() {
    char wow64[MAX_PATH] = "";
    SetLastError(0);
    UINT wow64Length = GetSystemWow64DirectoryA(wow64, MAX_PATH);
    DWORD wow64Error = GetLastError();
    std::string wow64Folder(wow64, wow64Length < MAX_PATH ? wow64Length : 0);
    Check((wow64Length == 0 && wow64Error == ERROR_CALL_NOT_IMPLEMENTED) ||
              (wow64Length > 0 && wow64Length < MAX_PATH &&
               EndsWithIgnoringCase(wow64Folder, "\\SysWOW64")),
          "GetSystemWow64DirectoryA: 0 with ERROR_CALL_NOT_IMPLEMENTED (120) on 32-bit "
          "Windows, else a folder ending in \\SysWOW64",
          Text("length %llu, error %llu", wow64Length, wow64Error) + " \"" + wow64Folder + "\"");

    char system[MAX_PATH] = "";
    UINT length = GetSystemDirectoryA(system, MAX_PATH);
    // One short: the buffer is big enough, the size given is not.
    char again[MAX_PATH] = "";
    UINT needed = length > 0 && length < MAX_PATH ? GetSystemDirectoryA(again, length) : 0;
    Check(length > 3 && length < MAX_PATH && system[length] == '\0' && needed == length + 1,
          "GetSystemDirectoryA: the length without the null when it fits, the size it needs "
          "with the null when the buffer is one short",
          Text("length %llu, then %llu", length, needed) + " \"" + system + "\"");

    std::string missing = std::string(system) + "\\joyvane_facts_absent.dll";
    SetLastError(0);
    DWORD attributes = GetFileAttributesA(missing.c_str());
    DWORD error = GetLastError();
    Check(attributes == INVALID_FILE_ATTRIBUTES && error == ERROR_FILE_NOT_FOUND,
          "GetFileAttributesA of a file missing from System32: INVALID_FILE_ATTRIBUTES, "
          "ERROR_FILE_NOT_FOUND (2)",
          Text("attributes 0x%llx, error %llu", attributes, error));
    SetLastError(0);
    attributes = GetFileAttributesA("C:\\joyvane_facts_absent\\ZUR_USBIO_KAD.dll");
    error = GetLastError();
    Check(attributes == INVALID_FILE_ATTRIBUTES && error == ERROR_PATH_NOT_FOUND,
          "GetFileAttributesA in a folder that does not exist: INVALID_FILE_ATTRIBUTES, "
          "ERROR_PATH_NOT_FOUND (3)",
          Text("attributes 0x%llx, error %llu", attributes, error));

    char program[8] = "";
    SetLastError(0);
    DWORD copied = GetModuleFileNameA(nullptr, program, sizeof program);
    error = GetLastError();
    Check(copied == sizeof program && error == ERROR_INSUFFICIENT_BUFFER,
          "GetModuleFileNameA(NULL) into 8 bytes: returns 8, ERROR_INSUFFICIENT_BUFFER (122)",
          Text("returned %llu, error %llu", copied, error));
}

// --- advapi32: the service control manager -----------------------------------------

void WINAPI UnusedServiceMain(DWORD, LPSTR*) {}

void ServiceFacts() {
    char name[] = "Joyvane facts";
    SERVICE_TABLE_ENTRYA table[] = {{name, UnusedServiceMain}, {nullptr, nullptr}};
    SetLastError(0);
    BOOL started = StartServiceCtrlDispatcherA(table);
    DWORD error = GetLastError();
    Check(!started && error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
          "StartServiceCtrlDispatcherA from a console process: FALSE, "
          "ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (1063)",
          Text("returned %llu, error %llu", static_cast<unsigned long long>(started), error));
    // The status handle comes from RegisterServiceCtrlHandlerA, which Wine refuses
    // outside a service; the simulation hands one out to any caller, for tests that
    // drive the control handler without a dispatcher.
    SetLastError(0);
    SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerA(name, nullptr);
    DWORD registerError = GetLastError();
    Skip("SetServiceStatus with a state outside the seven service states is refused",
         "needs the status handle of a running service; RegisterServiceCtrlHandlerA in a console "
         "process: " +
             (status ? std::string("a handle (the simulation)")
                     : Text("NULL, error %llu", registerError)));
}

// --- advapi32: the service manager's database, as the console's --status and
// --configure use it ----------------------------------------------------------------

// A service that every Windows and every Wine prefix has.
const char presentService[] = "RpcSs";

void ServiceDatabaseFacts() {
#if !defined(_WIN32)
    sim::InstallService({.name = presentService,
                         .imagePath = "C:\\Windows\\system32\\svchost.exe -k rpcss",
                         .account = "NT AUTHORITY\\NetworkService",
                         .state = SERVICE_RUNNING});
#endif
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    Check(manager != nullptr, "OpenSCManagerA(SC_MANAGER_CONNECT): a handle",
          Text("error %llu", GetLastError()));
    if (manager == nullptr) {
        return;
    }
    SetLastError(0);
    SC_HANDLE absent = OpenServiceA(manager, "Joyvane facts absent", SERVICE_QUERY_STATUS);
    DWORD absentError = GetLastError();
    Check(absent == nullptr && absentError == ERROR_SERVICE_DOES_NOT_EXIST,
          "OpenServiceA of a service that is not installed: NULL, ERROR_SERVICE_DOES_NOT_EXIST "
          "(1060)",
          Text("error %llu", absentError));
    SC_HANDLE service =
        OpenServiceA(manager, presentService, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    Check(service != nullptr, "OpenServiceA(RpcSs, query config and status): a handle",
          Text("error %llu", GetLastError()));
    if (service != nullptr) {
        DWORD needed = 0;
        SetLastError(0);
        BOOL sized = QueryServiceConfigA(service, nullptr, 0, &needed);
        DWORD sizeError = GetLastError();
        Check(!sized && sizeError == ERROR_INSUFFICIENT_BUFFER &&
                  needed > sizeof(QUERY_SERVICE_CONFIGA),
              "QueryServiceConfigA(NULL, 0): FALSE, ERROR_INSUFFICIENT_BUFFER (122), and a size "
              "beyond the record for its strings",
              Text("error %llu, needs %llu", sizeError, needed));
        auto* config = static_cast<QUERY_SERVICE_CONFIGA*>(LocalAlloc(LPTR, needed));
        DWORD again = 0;
        BOOL read = config != nullptr && QueryServiceConfigA(service, config, needed, &again);
        const char* start = reinterpret_cast<const char*>(config);
        bool inside =
            read && config->lpBinaryPathName != nullptr && config->lpBinaryPathName > start &&
            config->lpBinaryPathName < start + needed && config->lpBinaryPathName[0] != '\0';
        Check(inside,
              "QueryServiceConfigA into that size: TRUE, the command line a string inside the "
              "block",
              Text("returned %llu, error %llu", static_cast<unsigned long long>(read),
                   GetLastError()));
        if (config != nullptr) {
            LocalFree(config);
        }
        SERVICE_STATUS_PROCESS status = {};
        needed = 0;
        SetLastError(0);
        BOOL shortStatus =
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                 sizeof status - 1, &needed);
        DWORD statusError = GetLastError();
        Check(!shortStatus && statusError == ERROR_INSUFFICIENT_BUFFER &&
                  needed == sizeof(SERVICE_STATUS_PROCESS),
              "QueryServiceStatusEx into one byte less than SERVICE_STATUS_PROCESS: FALSE, "
              "ERROR_INSUFFICIENT_BUFFER (122), needs 36",
              Text("error %llu, needs %llu", statusError, needed));
        BOOL full = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status), sizeof status, &needed);
        Check(full && status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId != 0,
              "QueryServiceStatusEx of RpcSs: RUNNING, with a process id",
              Text("state %llu, process %llu", status.dwCurrentState, status.dwProcessId));
        // The rights are the handle's: what it was not opened for is refused,
        // whoever asks.
        SERVICE_STATUS stopped = {};
        SetLastError(0);
        BOOL stop = ControlService(service, SERVICE_CONTROL_STOP, &stopped);
        DWORD stopError = GetLastError();
        Check(!stop && stopError == ERROR_ACCESS_DENIED,
              "ControlService(STOP) on a handle opened without SERVICE_STOP: FALSE, "
              "ERROR_ACCESS_DENIED (5)",
              Text("returned %llu, error %llu", static_cast<unsigned long long>(stop), stopError));
        SetLastError(0);
        BOOL change =
            ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        DWORD changeError = GetLastError();
        Check(!change && changeError == ERROR_ACCESS_DENIED,
              "ChangeServiceConfigA on a handle opened without SERVICE_CHANGE_CONFIG: FALSE, "
              "ERROR_ACCESS_DENIED (5)",
              Text("returned %llu, error %llu", static_cast<unsigned long long>(change),
                   changeError));
        Check(CloseServiceHandle(service) != FALSE, "CloseServiceHandle of the service: TRUE");
    }
    Check(CloseServiceHandle(manager) != FALSE, "CloseServiceHandle of the manager: TRUE");
}

// --- kernel32: a file's version resource, read as data -------------------------------

void ResourceFacts() {
    const DWORD asData = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self);
    folder = folder.substr(0, folder.rfind('\\') + 1);
#if defined(_WIN32)
    char kernel32[MAX_PATH] = "";
    HMODULE loaded = LoadLibraryExA("kernel32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (loaded != nullptr) {
        GetModuleFileNameA(loaded, kernel32, MAX_PATH);
    }
#else
    const char kernel32[] = "C:\\Windows\\System32\\kernel32.dll";
    sim::AddFile(kernel32, sim::VersionResource(10, 0, 19041, 1));
    sim::AddFile(self);
#endif
    std::string absent = folder + "joyvane_facts_absent.exe";
    SetLastError(0);
    HMODULE none = LoadLibraryExA(absent.c_str(), nullptr, asData);
    DWORD noneError = GetLastError();
    Check(none == nullptr && noneError == ERROR_FILE_NOT_FOUND,
          "LoadLibraryExA of a missing file in an existing folder, as an image resource: NULL, "
          "ERROR_FILE_NOT_FOUND (2)",
          Text("error %llu", noneError));

    HMODULE module = LoadLibraryExA(kernel32, nullptr, asData);
    HRSRC resource = module != nullptr ? FindResourceA(module, MAKEINTRESOURCEA(VS_VERSION_INFO),
                                                       MAKEINTRESOURCEA(16))
                                       : nullptr;
    HGLOBAL global = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const auto* bytes = static_cast<const unsigned char*>(global ? LockResource(global) : nullptr);
    DWORD size = bytes != nullptr ? SizeofResource(module, resource) : 0;
    bool key = size >= 92;
    const char name[] = "VS_VERSION_INFO";
    for (size_t i = 0; key && i < sizeof name; ++i) {
        key = bytes[6 + 2 * i] == static_cast<unsigned char>(name[i]) && bytes[7 + 2 * i] == 0;
    }
    unsigned long signature = size >= 44 ? bytes[40] | bytes[41] << 8 | bytes[42] << 16 |
                                               static_cast<unsigned long>(bytes[43]) << 24
                                         : 0;
    Check(key && signature == 0xFEEF04BDul,
          "kernel32.dll loaded as an image resource: RT_VERSION 1 begins with L\"VS_VERSION_INFO\" "
          "at byte 6 and VS_FIXEDFILEINFO (0xFEEF04BD) at byte 40",
          Text("size %llu, signature 0x%llx", size, signature));
    if (module != nullptr) {
        FreeLibrary(module);
    }

    HMODULE own = LoadLibraryExA(self, nullptr, asData);
    SetLastError(0);
    HRSRC noVersion =
        own != nullptr ? FindResourceA(own, MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16))
                       : nullptr;
    DWORD noVersionError = GetLastError();
    // (This program has no resources at all; one with other resources but no
    // version would give ERROR_RESOURCE_TYPE_NOT_FOUND, 1813.)
    Check(own != nullptr && noVersion == nullptr && noVersionError == ERROR_RESOURCE_DATA_NOT_FOUND,
          "FindResourceA(RT_VERSION) in a program without a resource section: NULL, "
          "ERROR_RESOURCE_DATA_NOT_FOUND (1812)",
          Text("loaded %llu, error %llu", own != nullptr, noVersionError));
    if (own != nullptr) {
        FreeLibrary(own);
    }
}

// --- setupapi --------------------------------------------------------------------

// What the first device of the HID interface set answers: its class, its
// interfaces by class, and a feature report without a buffer. Wine's own
// setupapi lists no HID device here (its hid.dll could not open ours).
void DeviceFacts(HDEVINFO set, const GUID& hidClass, DWORD count) {
    const char* classFact = "SetupDiEnumDeviceInfo: ClassGuid is the device's setup class, "
                            "HIDClass {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}";
    const char* otherFact = "SetupDiEnumDeviceInterfaces of the device with another interface "
                            "class: FALSE, ERROR_NO_MORE_ITEMS (259)";
    const char* nullReportFact = "HidD_SetFeature(device, NULL, 5): FALSE, ERROR_NOACCESS (998)";
    const char* noBufferFact = "SetupDiGetDeviceRegistryPropertyA(SPDRP_HARDWAREID) without a "
                               "buffer but of size 5: FALSE, ERROR_INVALID_DATA (13)";
    if (count == 0) {
        for (const char* fact : {classFact, otherFact, nullReportFact, noBufferFact}) {
            Skip(fact, "no HID device present");
        }
        return;
    }
    SP_DEVINFO_DATA device = {sizeof(SP_DEVINFO_DATA), {}, 0, 0};
    SetupDiEnumDeviceInfo(set, 0, &device);
    const GUID setupClass = {
        0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
    Check(std::memcmp(&device.ClassGuid, &setupClass, sizeof setupClass) == 0, classFact,
          Text("Data1 0x%llx", device.ClassGuid.Data1));

    DWORD needed = 0;
    SetLastError(0);
    const BOOL noBuffer = SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                                            nullptr, 5, &needed);
    const DWORD noBufferError = GetLastError();
    Check(!noBuffer && noBufferError == ERROR_INVALID_DATA, noBufferFact,
          Text("returned %llu, error %llu", static_cast<unsigned long long>(noBuffer),
               noBufferError));

    SP_DEVICE_INTERFACE_DATA found = {sizeof(SP_DEVICE_INTERFACE_DATA), {}, 0, 0};
    GUID otherClass = hidClass;
    otherClass.Data1 ^= 0x5a5a5a5a;
    SetLastError(0);
    const BOOL other = SetupDiEnumDeviceInterfaces(set, &device, &otherClass, 0, &found);
    const DWORD otherError = GetLastError();
    Check(!other && otherError == ERROR_NO_MORE_ITEMS, otherFact,
          Text("returned %llu, error %llu", static_cast<unsigned long long>(other), otherError));

    std::string path;
    if (SetupDiEnumDeviceInterfaces(set, &device, &hidClass, 0, &found)) {
        char buffer[1024];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &found, detail, sizeof buffer, nullptr,
                                             nullptr)) {
            path = detail->DevicePath;
        }
    }
    HANDLE file = path.empty()
                      ? INVALID_HANDLE_VALUE
                      : CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Skip(nullReportFact, "the device's interface does not open");
        return;
    }
    SetLastError(0);
    const BOOLEAN sent = HidD_SetFeature(file, nullptr, 5);
    const DWORD sentError = GetLastError();
    // Wine's own HID devices refuse every call as an invalid handle until
    // their driver is up, which in a fresh prefix may be later than this.
    CheckOrWine(!sent && sentError == ERROR_NOACCESS, !sent && sentError == ERROR_INVALID_HANDLE,
                nullReportFact, Text("returned %llu, error %llu", sent, sentError));
    BYTE report[5] = {0, 0, 0, 0, 0};
    SetLastError(0);
    const BOOLEAN withBuffer = HidD_SetFeature(file, report, sizeof report);
    std::printf("note: %s, the same with a buffer: returned %u, error %lu\n", path.c_str(),
                withBuffer, static_cast<unsigned long>(GetLastError()));
    CloseHandle(file);
}

void SetupFacts() {
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    Check(
        set != INVALID_HANDLE_VALUE && set != nullptr,
        "SetupDiGetClassDevsA(HID interface class, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE): a set");
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
        return;
    }

    // Another interface class holds none of the HID devices; no class at all
    // is refused unless every class is asked for.
    GUID otherClass = hidClass;
    otherClass.Data1 ^= 0x5a5a5a5a;
    HDEVINFO other =
        SetupDiGetClassDevsA(&otherClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA first;
    std::memset(&first, 0, sizeof first);
    first.cbSize = sizeof(SP_DEVINFO_DATA);
    SetLastError(0);
    const BOOL otherHasOne =
        other != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(other, 0, &first);
    const DWORD otherError = GetLastError();
    Check(other != INVALID_HANDLE_VALUE && !otherHasOne && otherError == ERROR_NO_MORE_ITEMS,
          "SetupDiGetClassDevsA(another interface class): a set whose first device is "
          "ERROR_NO_MORE_ITEMS (259)",
          Text("set %llu, error %llu", other != INVALID_HANDLE_VALUE, otherError));
    if (other != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(other);
    }
    SetLastError(0);
    HDEVINFO none = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT);
    const DWORD noneError = GetLastError();
    Check(none == INVALID_HANDLE_VALUE && noneError == ERROR_INVALID_PARAMETER,
          "SetupDiGetClassDevsA(no class, without DIGCF_ALLCLASSES): INVALID_HANDLE_VALUE, "
          "ERROR_INVALID_PARAMETER (87)",
          Text("set %llu, error %llu", none != INVALID_HANDLE_VALUE, noneError));
    if (none != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(none);
    }

#if defined(_WIN32) && !defined(_WIN64)
    Check(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes in a 32-bit program",
          Text("it is %llu", sizeof(SP_DEVINFO_DATA)));
#else
    Skip("SP_DEVINFO_DATA is 28 bytes in a 32-bit program", "a 64-bit build");
#endif
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof(SP_DEVINFO_DATA) - 1;
    SetLastError(0);
    BOOL shortRecord = SetupDiEnumDeviceInfo(set, 0, &device);
    DWORD shortError = GetLastError();
    Check(!shortRecord && shortError == ERROR_INVALID_USER_BUFFER,
          "SetupDiEnumDeviceInfo with cbSize one short of sizeof(SP_DEVINFO_DATA): FALSE, "
          "ERROR_INVALID_USER_BUFFER (1784)",
          Text("returned %llu, error %llu", static_cast<unsigned long long>(shortRecord),
               shortError));

    DWORD count = 0;
    DWORD endError = 0;
    for (;; ++count) {
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        SetLastError(0);
        if (!SetupDiEnumDeviceInfo(set, count, &device)) {
            endError = GetLastError();
            break;
        }
    }
    std::printf("note: %lu present HID device(s)\n", static_cast<unsigned long>(count));
    Check(endError == ERROR_NO_MORE_ITEMS,
          "SetupDiEnumDeviceInfo past the last device: FALSE, ERROR_NO_MORE_ITEMS (259)",
          Text("index %llu, error %llu", count, endError));

    const std::string propertyFact =
        "SetupDiGetDeviceRegistryPropertyA(SPDRP_HARDWAREID) into 1 byte: FALSE, "
        "ERROR_INSUFFICIENT_BUFFER (122), and the size it needs";
    if (count == 0) {
        Skip(propertyFact, "no HID device present");
    } else {
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        SetupDiEnumDeviceInfo(set, 0, &device);
        BYTE small[1] = {0};
        DWORD needed = 0;
        SetLastError(0);
        BOOL read = SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                                      small, sizeof small, &needed);
        DWORD readError = GetLastError();
        Check(!read && readError == ERROR_INSUFFICIENT_BUFFER && needed > sizeof small,
              propertyFact,
              Text("error %llu, needs %llu", readError, needed) +
                  Text(" (returned %llu)", static_cast<unsigned long long>(read)));
    }
    SetLastError(0);
    const BOOL noRecord = SetupDiEnumDeviceInfo(set, 0, nullptr);
    const DWORD noRecordError = GetLastError();
    Check(!noRecord && noRecordError == ERROR_INVALID_PARAMETER,
          "SetupDiEnumDeviceInfo without a record: FALSE, ERROR_INVALID_PARAMETER (87)",
          Text("returned %llu, error %llu", static_cast<unsigned long long>(noRecord),
               noRecordError));
    DeviceFacts(set, hidClass, count);
    BOOL destroyed = SetupDiDestroyDeviceInfoList(set);
    Check(destroyed != FALSE, "SetupDiDestroyDeviceInfoList of that set: TRUE");
}

// A handle that names no file: the HID ioctls refuse it as a handle.
void HidHandleFacts() {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PHIDP_PREPARSED_DATA data = nullptr;
    SetLastError(0);
    const BOOLEAN got = HidD_GetPreparsedData(event, &data);
    const DWORD error = GetLastError();
    Check(!got && error == ERROR_INVALID_HANDLE,
          "HidD_GetPreparsedData on an event handle: FALSE, ERROR_INVALID_HANDLE (6)",
          Text("returned %llu, error %llu", got, error));
    CloseHandle(event);
}

} // namespace

// Windows documents that a source name not registered under the Application
// log still gets a handle (its events are logged without their texts), so the
// service reports alike before an installer registered its source; a refused
// handle is the event log service's failure, not a missing source's.
void EventLogFacts() {
    HANDLE log = RegisterEventSourceW(nullptr, L"Joyvane platform facts, never registered");
    Check(log != nullptr, "RegisterEventSourceW of a source that is not registered: a handle",
          Text("error %llu", GetLastError()));
    if (log == nullptr) {
        return;
    }
    LPCWSTR strings[] = {L"platform facts: an insertion string with %1 and %n in it"};
    Check(ReportEventW(log, EVENTLOG_INFORMATION_TYPE, 0, 0x40000001u, nullptr, 1, 0, strings,
                       nullptr) != FALSE,
          "ReportEventW on that handle succeeds", Text("error %llu", GetLastError()));
    Check(DeregisterEventSource(log) != FALSE, "DeregisterEventSource closes it",
          Text("error %llu", GetLastError()));
}

int main() {
    // Every line out at once: a fact that hangs or crashes shows where.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    mainThread = true;
#if defined(_WIN32)
    // The programs' own way to reach hid.dll and winmm.dll, asked of the same DLLs.
    const char* missing = "";
    if (const DWORD error = LoadSystemDlls(&missing); error != 0) {
        std::printf("FAIL %s not loaded from System32: error %lu\n", missing,
                    static_cast<unsigned long>(error));
        std::printf("0 passed, 1 failed\n");
        return 1;
    }
#endif
    PrintWhoAnswers();
    TimerFacts();
    WaitFacts();
    WaitableTimerFacts();
    ThreadFacts();
    CancelFacts();
    ConditionFacts();
    HeapAndLoaderFacts();
    FileFacts();
    ServiceFacts();
    ServiceDatabaseFacts();
    ResourceFacts();
#if !defined(_WIN32)
    // The virtual joystick, as the stand-ins present it by default.
    world::HidDevice joystick = world::VirtualJoystick();
    joystick.interfaces[0].path = "\\\\?\\C:\\" + world::InterfaceFileName(joystick, 0);
    sim::AddHidDevice(joystick);
#endif
    SetupFacts();
    HidHandleFacts();
    EventLogFacts();
    std::printf("%d skipped, %d wine-differs\n", skipped, differs);
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}
