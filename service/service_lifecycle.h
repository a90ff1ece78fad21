// The program as a Windows own-process service: the process entry, ServiceMain,
// the control handler, status reports and the stop sequence.
#pragma once

#include <atomic>

#include "platform/win32.h"

constexpr const char serviceName[] = "ZUR Service 1.02";

extern std::atomic<SERVICE_STATUS_HANDLE> statusHandle;
// The state the control handler reports again for an interrogation.
extern std::atomic<DWORD> currentState;
// Signalled by the stop sequence; ServiceMain waits on it.
extern std::atomic<HANDLE> stopEvent;

// The process entry: parses the command line and, when it is complete, hands the
// process to the service control dispatcher until the service has stopped.
int ServiceProcessMain(int argc, char** argv);

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
// The service's procedure when its command line lacks arguments: it reports
// stopped with ERROR_INVALID_PARAMETER at once.
void WINAPI ServiceMainWithoutArguments(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);

// Submits the service's status; a refused report runs the stop sequence. Returns
// the platform call's result.
BOOL ReportServiceStatus(DWORD state, DWORD checkPoint, DWORD waitHint);

// Stops the worker, releases ServiceMain and reports stopped; returns the result of
// that report. Runs once: a caller that comes while it runs returns when it is
// complete, one that comes after only reports stopped again.
BOOL StopService();

// Forgets a completed stop sequence, for a fresh start of the service in tests.
void ResetStopSequence();

// The process entry when the program cannot work at all (a system DLL it needs is
// missing from System32): as a service, the start fails at once with error and the
// service manager records it; started by hand, the trace says why. what names the
// DLL or function. Returns the process's exit status.
int RefuseServiceProcess(DWORD error, const char* what);
