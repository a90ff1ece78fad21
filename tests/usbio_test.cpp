#include <string>
#include <vector>

#include "tests/product_fixture.h"
#include "usbio/usbio_api.h"

namespace {

// A capture library whose entry points only record how they were called.
std::vector<std::string> libraryCalls;

int32_t Init() {
    libraryCalls.push_back("Init");
    return 7;
}
int32_t Destroy() {
    libraryCalls.push_back("Destroy");
    return 0;
}
int32_t Open(int32_t index) {
    libraryCalls.push_back("Open " + std::to_string(index));
    return 0;
}
int32_t Close(int32_t index) {
    libraryCalls.push_back("Close " + std::to_string(index));
    return 5;
}
int32_t InitI2c() {
    libraryCalls.push_back("InitI2c");
    return 0;
}
int32_t GetGpio(int32_t index, GpioState* state) {
    libraryCalls.push_back("GetGPIO " + std::to_string(index));
    *state = gpioButtonUp;
    return 0;
}
int32_t Unused() {
    return 0;
}

// The fourteen entry points in the order the product resolves them; the six it
// calls are the recording ones, the others (null here) are never called.
const std::pair<const char*, FARPROC> entryPoints[] = {
    {"ZUR_USBIO_API_Init", sim::Proc(&Init)},
    {"ZUR_USBIO_API_Destroy", sim::Proc(&Destroy)},
    {"ZUR_USBIO_API_GetApiVersion", nullptr},
    {"ZUR_USBIO_API_Close", sim::Proc(&Close)},
    {"ZUR_USBIO_API_Open", sim::Proc(&Open)},
    {"ZUR_USBIO_API_SetCallback", nullptr},
    {"ZUR_USBIO_API_Start", nullptr},
    {"ZUR_USBIO_API_GetVideostandart", nullptr},
    {"ZUR_USBIO_API_SetReg", nullptr},
    {"ZUR_USBIO_API_GetReg", nullptr},
    {"ZUR_USBIO_API_GetGPIO", sim::Proc(&GetGpio)},
    {"ZUR_USBIO_API_SetI2c", nullptr},
    {"ZUR_USBIO_API_GetI2c", nullptr},
    {"ZUR_USBIO_API_InitI2c", sim::Proc(&InitI2c)},
};

// All of them but the one named without, or, without "uncalled", the never called.
std::vector<sim::Export> AllExports(const std::string& without = "") {
    std::vector<sim::Export> exports;
    for (const auto& [name, address] : entryPoints) {
        if (name != without && !(without == "uncalled" && address == nullptr)) {
            exports.push_back(sim::Export{name, address ? address : sim::Proc(&Unused)});
        }
    }
    return exports;
}

class UsbIoTest : public ProductTest {
  protected:
    void SetUp() override {
        ProductTest::SetUp();
        libraryCalls.clear();
    }
};

TEST_F(UsbIoTest, ResolvesTheFourteenEntryPointsByNameInOrderAndCallsTheSix) {
    sim::RegisterModule("zur_usbio_kad.DLL", AllExports());
    ASSERT_EQ(1, LoadUsbIoLibrary("ZUR_USBIO_KAD.dll"));
    std::vector<std::string> resolved;
    for (const sim::Call& call : sim::CallsNamed("GetProcAddress")) {
        resolved.push_back(call.values.strings.at(0));
        EXPECT_EQ(1, call.values.result) << call.args;
        EXPECT_EQ(std::vector<sim::Pointer>{sim::Pointer::set}, call.values.pointers);
    }
    std::vector<std::string> names;
    for (const auto& entryPoint : entryPoints) {
        names.push_back(entryPoint.first);
    }
    EXPECT_EQ(names, resolved);

    GpioState state = 0;
    EXPECT_EQ(7, UsbIoInit());
    EXPECT_EQ(0, UsbIoOpen(0));
    EXPECT_EQ(0, UsbIoInitI2c());
    EXPECT_EQ(0, UsbIoGetGpio(0, &state));
    EXPECT_EQ(gpioButtonUp, state);
    EXPECT_EQ(5, UsbIoClose(0));
    EXPECT_EQ(0, UsbIoDestroy());
    EXPECT_EQ(
        (std::vector<std::string>{"Init", "Open 0", "InitI2c", "GetGPIO 0", "Close 0", "Destroy"}),
        libraryCalls);
    EXPECT_EQ(1, sim::Held().loadedModules);

    FreeUsbIoLibrary();
    FreeUsbIoLibrary();
    EXPECT_EQ(1, sim::ModuleFrees("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

TEST_F(UsbIoTest, TheNeverCalledEntryPointsMayBeMissing) {
    sim::RegisterModule("ZUR_USBIO_KAD.dll", AllExports("uncalled"));
    ASSERT_EQ(1, LoadUsbIoLibrary("ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(nullptr, usbIoApi.ZUR_USBIO_API_GetVideostandart);
    EXPECT_NE(nullptr, usbIoApi.ZUR_USBIO_API_GetGPIO);
    // The copy that was loaded is named, with its folder.
    EXPECT_EQ(
        std::vector<std::string>{"ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll"},
        sim::DebugLines());
    EXPECT_EQ(0u, UsbIoLoadError());
}

// Where copies of the library lie, and which of them the load takes. Only the
// program's folder and System32 count; a copy anywhere else is never loaded, so
// its DllMain never runs, whatever the export check would have said about it.
struct Placement {
    const char* why;
    std::vector<sim::DllFolder> copies;
    bool loaded;
    sim::DllFolder from;
};
PRINTED_BY_TEST_NAME(Placement)

using F = sim::DllFolder;

const Placement placements[] = {
    {"beside the program", {F::Application}, true, F::Application},
    {"in System32", {F::System32}, true, F::System32},
    {"both: the program's folder first", {F::System32, F::Application}, true, F::Application},
    {"planted on PATH", {F::PathFolder}, false, F::PathFolder},
    {"planted in the current directory", {F::CurrentDirectory}, false, F::CurrentDirectory},
    {"planted in the Windows folder", {F::Windows}, false, F::Windows},
    {"planted everywhere but System32 too",
     {F::PathFolder, F::CurrentDirectory, F::Windows, F::System32},
     true,
     F::System32},
};

class PlacementTest : public UsbIoTest, public ::testing::WithParamInterface<Placement> {};

TEST_P(PlacementTest, TheLibraryIsLookedForBesideTheProgramThenInSystem32AndNowhereElse) {
    const Placement& c = GetParam();
    const F allFolders[] = {F::Application, F::System32, F::Windows, F::CurrentDirectory,
                            F::PathFolder};
    for (F folder : c.copies) {
        sim::RegisterModule("ZUR_USBIO_KAD.dll", AllExports(), 0, folder);
    }
    EXPECT_EQ(c.loaded ? 1 : 0, LoadUsbIoLibrary("ZUR_USBIO_KAD.dll")) << c.why;
    std::vector<sim::Call> loads = sim::CallsNamed("LoadLibraryExA");
    ASSERT_EQ(1u, loads.size());
    EXPECT_EQ(CaptureLibraryLoad(c.loaded), loads[0].values) << loads[0].args;
    for (F folder : allFolders) {
        EXPECT_EQ(c.loaded && folder == c.from ? 1 : 0,
                  sim::ModuleLoads("ZUR_USBIO_KAD.dll", folder))
            << c.why << ", folder " << static_cast<int>(folder);
    }
    // The copy loaded is named with its folder; a library that was not found is
    // left to the worker to trace, which tries again.
    EXPECT_EQ(c.loaded ? std::vector<std::string>{"ZUR Joyvane: Capture library: " +
                                                  std::string(c.from == F::Application
                                                                  ? "C:\\Joyvane\\"
                                                                  : "C:\\Windows\\System32\\") +
                                                  "ZUR_USBIO_KAD.dll"}
                       : std::vector<std::string>{},
              sim::DebugLines())
        << c.why;
    EXPECT_EQ(c.loaded ? 0u : static_cast<DWORD>(ERROR_MOD_NOT_FOUND), UsbIoLoadError());
    FreeUsbIoLibrary();
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Folders, PlacementTest, ::testing::ValuesIn(placements),
                         NamedBy<&Placement::why>());

// What the programs' first call relies on: the default directories narrow every
// later load that names no search folders of its own, such as those that system
// DLLs make; without them a bare name reaches PATH and the current directory.
TEST_F(UsbIoTest, TheDefaultDllDirectoriesNarrowLoadsWithoutSearchFlags) {
    sim::RegisterModule("planted.dll", {}, 0, sim::DllFolder::PathFolder);
    sim::RegisterModule("cwd.dll", {}, 0, sim::DllFolder::CurrentDirectory);
    sim::RegisterModule("system.dll", {}, 0, sim::DllFolder::System32);
    for (const char* name : {"planted.dll", "cwd.dll", "system.dll"}) {
        HMODULE module = LoadLibraryExA(name, nullptr, 0);
        EXPECT_NE(nullptr, module) << name;
        FreeLibrary(module);
    }

    EXPECT_EQ(TRUE, SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_EQ(nullptr, LoadLibraryExA("planted.dll", nullptr, 0));
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, LoadLibraryExA("cwd.dll", nullptr, 0));
    HMODULE system = LoadLibraryExA("system.dll", nullptr, 0);
    EXPECT_NE(nullptr, system);
    FreeLibrary(system);
    EXPECT_EQ(1, sim::ModuleLoads("planted.dll", sim::DllFolder::PathFolder));
    EXPECT_EQ(2, sim::ModuleLoads("system.dll", sim::DllFolder::System32));

    // Flags outside the search flags are refused and change nothing.
    EXPECT_EQ(FALSE, SetDefaultDllDirectories(0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(FALSE, SetDefaultDllDirectories(0x1u));
    EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), sim::DefaultDllDirectories());
    EXPECT_EQ(nullptr, LoadLibraryExA("system.dll", INVALID_HANDLE_VALUE, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(sim::Resources{}, sim::Held());
}

struct LoadFailure {
    const char* why;
    std::string missingExport;
    DWORD loadError;
    bool registered;
    DWORD error;
};
PRINTED_BY_TEST_NAME(LoadFailure)

const LoadFailure loadFailures[] = {
    {"no such file", "", 0, false, 126},
    {"a 64-bit DLL", "", ERROR_BAD_EXE_FORMAT, true, 193},
    {"no Init", "ZUR_USBIO_API_Init", 0, true, 127},
    {"no Destroy", "ZUR_USBIO_API_Destroy", 0, true, 127},
    {"no Open", "ZUR_USBIO_API_Open", 0, true, 127},
    {"no Close", "ZUR_USBIO_API_Close", 0, true, 127},
    {"no InitI2c", "ZUR_USBIO_API_InitI2c", 0, true, 127},
    {"no GetGPIO", "ZUR_USBIO_API_GetGPIO", 0, true, 127},
};
class LoadFailureTest : public UsbIoTest, public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(LoadFailureTest, ALibraryThatCannotServeIsNotLoadedAndSaysWhy) {
    const LoadFailure& c = GetParam();
    if (c.registered) {
        sim::RegisterModule("ZUR_USBIO_KAD.dll", AllExports(c.missingExport), c.loadError);
    }
    EXPECT_EQ(0, LoadUsbIoLibrary("ZUR_USBIO_KAD.dll")) << c.why;
    // Tried again every second, a failure traced here would fill the trace; the
    // worker says why, once, from these two.
    EXPECT_EQ(std::vector<std::string>{}, sim::DebugLines()) << c.why;
    EXPECT_EQ(c.error, UsbIoLoadError()) << c.why;
    EXPECT_EQ(c.missingExport, UsbIoMissingEntryPoint() ? UsbIoMissingEntryPoint() : "") << c.why;
    EXPECT_EQ(sim::ModuleLoads("ZUR_USBIO_KAD.dll"), sim::ModuleFrees("ZUR_USBIO_KAD.dll"))
        << c.why;
    EXPECT_EQ(sim::Resources{}, sim::Held()) << c.why;
    EXPECT_EQ(nullptr, usbIoApi.module) << c.why;
    // Nothing is called through a table that was not loaded.
    GpioState state = 0;
    EXPECT_EQ(0, UsbIoInit()) << c.why;
    EXPECT_NE(0, UsbIoOpen(0)) << c.why;
    EXPECT_NE(0, UsbIoGetGpio(0, &state)) << c.why;
    EXPECT_NE(0, UsbIoClose(0)) << c.why;
    EXPECT_TRUE(libraryCalls.empty()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Libraries, LoadFailureTest, ::testing::ValuesIn(loadFailures),
                         NamedBy<&LoadFailure::why>());

// Where the library would be loaded from, found by looking only. The program's
// folder comes first, then this program's system folder; a path that does not fit
// the buffer is never cut short.
struct Location {
    const char* why;
    std::vector<std::pair<sim::DllFolder, DWORD>> copies; // folder, load error
    int found;
    std::string path;
    bool windows64 = false;
    const char* programFolder = "C:\\Joyvane"; // null: one too long for any file call
    DWORD size = MAX_PATH;
};
PRINTED_BY_TEST_NAME(Location)

const char joyvaneCopy[] = "C:\\Joyvane\\ZUR_USBIO_KAD.dll"; // 28 characters
const char system32Copy[] = "C:\\Windows\\System32\\ZUR_USBIO_KAD.dll";

const Location locations[] = {
    {"beside the program", {{F::Application, 0}}, 1, joyvaneCopy},
    {"beside the program and in System32", {{F::System32, 0}, {F::Application, 0}}, 1, joyvaneCopy},
    {"in System32 on 32-bit Windows", {{F::System32, 0}}, 1, system32Copy},
    {"in SysWOW64 on 64-bit Windows",
     {{F::System32, 0}},
     1,
     "C:\\Windows\\SysWOW64\\ZUR_USBIO_KAD.dll",
     true},
    {"nowhere: where it belongs", {}, 0, joyvaneCopy},
    {"only on PATH, in the current and the Windows folder",
     {{F::PathFolder, 0}, {F::CurrentDirectory, 0}, {F::Windows, 0}},
     0,
     joyvaneCopy,
     true},
    {"a 64-bit copy is still a file", {{F::Application, ERROR_BAD_EXE_FORMAT}}, 1, joyvaneCopy},
    {"another program folder",
     {{F::Application, 0}},
     0,
     "D:\\Other\\ZUR_USBIO_KAD.dll",
     false,
     "D:\\Other"},
    {"exactly fits", {{F::Application, 0}}, 1, joyvaneCopy, false, "C:\\Joyvane", 29},
    {"one short", {{F::Application, 0}}, 0, "", false, "C:\\Joyvane", 28},
    {"one short of where it belongs", {}, 0, "", false, "C:\\Joyvane", 28},
    {"no room at all", {{F::Application, 0}}, 0, "unwritten", false, "C:\\Joyvane", 0},
    {"a program folder too long for any file call, System32 still looked at",
     {{F::System32, 0}},
     1,
     system32Copy,
     false,
     nullptr},
    {"a program folder too long for any file call, the library nowhere", {}, 0, "", false, nullptr},
};

class LocationTest : public UsbIoTest, public ::testing::WithParamInterface<Location> {};

TEST_P(LocationTest, TheLibraryIsLocatedWithoutLoadingIt) {
    const Location& c = GetParam();
    for (const auto& [folder, error] : c.copies) {
        sim::RegisterModule("zur_usbio_kad.DLL", AllExports(), error, folder);
    }
    sim::SetWindows64(c.windows64);
    // 300 characters: longer than any path the ANSI file calls take, and the
    // library's path in it longer than the buffer.
    std::string longFolder = "C:\\" + std::string(297, 'x');
    char path[MAX_PATH] = "unwritten";
    EXPECT_EQ(c.found, LocateUsbIoLibrary(c.programFolder ? c.programFolder : longFolder.c_str(),
                                          path, c.size))
        << c.why;
    EXPECT_EQ(c.path, path) << c.why;
    EXPECT_TRUE(sim::CallsNamed("LoadLibraryExA").empty()) << c.why;
    EXPECT_EQ(sim::Resources{}, sim::PeakHeld()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Folders, LocationTest, ::testing::ValuesIn(locations),
                         NamedBy<&Location::why>());

// A 64-bit Windows that cannot name its WOW64 folder still has System32, which
// the redirector leads to the same place.
TEST_F(UsbIoTest, ALocationFallsBackToSystem32WhenTheWow64FolderIsNotNamed) {
    sim::RegisterModule("ZUR_USBIO_KAD.dll", AllExports(), 0, F::System32);
    sim::SetWindows64(true);
    sim::AddFault({.call = "GetSystemWow64DirectoryA", .firstCall = 1});
    char path[MAX_PATH] = "";
    EXPECT_EQ(1, LocateUsbIoLibrary("C:\\Joyvane", path, sizeof path));
    EXPECT_STREQ("C:\\Windows\\System32\\ZUR_USBIO_KAD.dll", path);
    EXPECT_EQ((std::vector<std::string>{"GetFileAttributesA", "GetSystemWow64DirectoryA",
                                        "GetSystemDirectoryA", "GetFileAttributesA"}),
              CallNames("Get"))
        << "the program's folder is looked at first";
}

// Windows' answers for a buffer too small: what the system-folder calls need,
// the terminating null counted, and the truncation of the program's path.
TEST_F(UsbIoTest, TheSystemFolderCallsAnswerAsWindowsDocuments) {
    char folder[MAX_PATH] = "";
    EXPECT_EQ(0u, GetSystemWow64DirectoryA(folder, sizeof folder));
    EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, GetLastError());
    EXPECT_EQ(19u, GetSystemDirectoryA(folder, sizeof folder));
    EXPECT_STREQ("C:\\Windows\\System32", folder);
    EXPECT_EQ(20u, GetSystemDirectoryA(folder, 19));
    sim::SetWindows64(true);
    EXPECT_EQ(19u, GetSystemWow64DirectoryA(folder, sizeof folder));
    EXPECT_STREQ("C:\\Windows\\SysWOW64", folder);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\Joyvane\\ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\Nowhere\\ZUR_USBIO_KAD.dll"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
    char program[12] = "";
    EXPECT_EQ(12u, GetModuleFileNameA(nullptr, program, sizeof program));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_STREQ("C:\\Joyvane\\", program);
}

} // namespace
