// "joyvane_console --configure BUTTON MODE INVERTED POLL_MS CLICK_MS": new
// numbers for the installed service, run as administrator.
#pragma once

// The five numbers, checked the way the service and the installer would take
// them, become the service's registered command line and the installer's record
// of them (HKLM\SOFTWARE\Joyvane); a running service is restarted with them.
// 0 when they are in place (and the service running again, if it ran); 1 when a
// call failed (the line says which, and what stayed as it was); 2 when a number
// is refused (nothing changed).
int RunServiceConfigure(const char* const numbers[5]);

// Whether text is a number that survives every command line it passes through:
// decimal digits without leading zeros, a leading minus at most, -32767 to 32767.
bool IsPlainSettingNumber(const char* text);
