#include "platform/win32.h"
#include "service/console_runner.h"

int main(int argc, char** argv) {
    // As in the service: later loads by a bare name come from System32 only. This
    // matters most here, as the console program is run from wherever the user
    // unpacked it, often a folder that others can write to.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return ConsoleProcessMain(argc, argv);
}
