#include "platform/win32.h"
#include "service/service_lifecycle.h"

int main(int argc, char** argv) {
    // Before anything can load a DLL: whatever a system DLL loads later by a bare
    // name comes from System32 only, never from the current directory or PATH.
    // The DLLs this program imports are loaded before main and are not affected;
    // it imports KnownDLLs only, which Windows maps from System32 whatever lies
    // beside the program. The call cannot fail with this flag on any Windows that
    // has it, and one without it cannot start the program at all.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    const char* failed = "";
    const DWORD error = LoadSystemDlls(&failed);
    if (error != 0) {
        return RefuseServiceProcess(error, failed);
    }
    return ServiceProcessMain(argc, argv);
}
