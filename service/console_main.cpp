#include <cstdio>

#include "platform/win32.h"
#include "service/console_runner.h"

int main(int argc, char** argv) {
    // As in the service: later loads by a bare name come from System32 only. This
    // matters most here, as the console program is run from wherever the user
    // unpacked it, often a folder that others can write to; for the same reason
    // hid.dll and winmm.dll are loaded from System32 here rather than imported.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    const char* failed = "";
    const DWORD error = LoadSystemDlls(&failed);
    if (error != 0) {
        std::fprintf(stderr, "Joyvane console: %s could not be loaded from System32: error %lu\n",
                     failed, static_cast<unsigned long>(error));
        return 1;
    }
    return ConsoleProcessMain(argc, argv);
}
