// The service's events in the Windows Application log, under the source
// "Joyvane", whose texts are the message table in joyvane_service.exe
// (service/messages.mc). Below every subsystem, like the trace: the bridge and
// the joystick code call one function at each event and never the event log.
//
// Nothing is logged until the service opens the log, so the console runner and
// the tests of single subsystems log nothing. A log that cannot be opened or
// refuses an event never stops the service: the refusal is traced, once.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/win32.h"

// Opens the log for the service's events; false (traced) when Windows refused.
bool OpenEventLog();
// Closes it: nothing is logged after this.
void CloseEventLog();
// Forgets everything, as a new process would have it.
void ResetEventLog();

// One event of the message table (messages.h) with its insertion strings, each
// cut to MAX_PATH characters. The strings are never read as a format.
void LogEvent(DWORD id, std::initializer_list<const char*> strings = {});
// The same with numbers as decimal insertion strings.
void LogEventNumbers(DWORD id, std::initializer_list<long long> numbers);

// The started event: the five numbers of the command line and the account.
void LogServiceStarted(const int32_t (&numbers)[5]);

// The capture device's connection, logged so that a device that comes and goes
// cannot flood the log: at most one loss a minute is logged, and the losses in
// between are counted into the next one; a connection is logged only after a
// logged loss (and the first one).
void LogCaptureDeviceConnected();
void LogCaptureDeviceLost(const char* failedCall, long long result);
// While the device stays away: logs a loss that was held back once its minute is over.
void LogCaptureDeviceAbsent();

// The virtual joystick: found is logged at the first find and again only after
// it was not found or refused a report; not found once until it is found.
void LogJoystickFound(const char* devicePath);
void LogJoystickNotFound(const char* hardwareId);
void LogJoystickRefused(DWORD error);
