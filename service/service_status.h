// "joyvane_console --status": the installed service as the service manager has
// it, read only, so that any user may ask.
#pragma once

// Prints the service's state, exit code, start type and account, its five
// numbers as the service reads them, the installed program's path and version,
// and where the capture library would be loaded from. 0 when the service is
// running, 1 when it is installed and not running, 2 when it is not installed,
// 3 when the service manager could not be asked.
int RunServiceStatus();
