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
// The stop sequence can be entered from the dispatcher thread (a control) and the
// service thread (a refused report) at once; the event is signalled only once.
extern std::atomic<bool> stopEventSignalled;

// The process entry: parses the command line and, when it is complete, hands the
// process to the service control dispatcher until the service has stopped.
int ServiceProcessMain(int argc, char** argv);

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);

// Submits the service's status; a refused report runs the stop sequence. Returns
// the platform call's result.
BOOL ReportServiceStatus(DWORD state, DWORD checkPoint, DWORD waitHint);

// Stops the worker, releases ServiceMain and reports stopped; returns the result of
// that report. Safe to enter more than once, from more than one thread.
BOOL StopService();
