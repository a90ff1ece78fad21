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
        Write(log, world::Called("Scenario", 0).Arg("file", "none"));
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
        Write(log, world::Called("Scenario", 0).Arg("ignored", line));
    }
    Write(log, world::Called("Scenario")
                   .Arg("file", path)
                   .Arg("steps", static_cast<int64_t>(scenario.capture.Steps().size()))
                   .Arg("faults", static_cast<int64_t>(scenario.faults.size()))
                   .Arg("devices", static_cast<int64_t>(scenario.devices.size())));
    return true;
}

} // namespace standin
