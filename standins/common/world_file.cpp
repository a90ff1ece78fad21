#include "common/world_file.h"

#include "common/standin_log.h"

#include <string>

namespace standin {

bool ReadWorld(HMODULE module, world::Scenario& scenario, HANDLE log) {
    char path[MAX_PATH];
    HANDLE file = INVALID_HANDLE_VALUE;
    if (PathBesideModule(module, "world.scenario", path, sizeof path)) {
        file =
            CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        scenario = world::ParseScenario("");
        LogLine(log, "Scenario - none");
        return false;
    }
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    CloseHandle(file);
    scenario = world::ParseScenario(text);
    for (const std::string& line : scenario.ignored) {
        LogLine(log, "Scenario - ignored %s", line.c_str());
    }
    LogLine(log, "Scenario - %s steps=%u faults=%u devices=%u", path,
            static_cast<unsigned>(scenario.capture.Steps().size()),
            static_cast<unsigned>(scenario.faults.size()),
            static_cast<unsigned>(scenario.devices.size()));
    return true;
}

} // namespace standin
