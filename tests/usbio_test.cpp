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

const char* const exportNames[] = {
    "ZUR_USBIO_API_Init",          "ZUR_USBIO_API_Destroy",
    "ZUR_USBIO_API_GetApiVersion", "ZUR_USBIO_API_Close",
    "ZUR_USBIO_API_Open",          "ZUR_USBIO_API_SetCallback",
    "ZUR_USBIO_API_Start",         "ZUR_USBIO_API_GetVideostandart",
    "ZUR_USBIO_API_SetReg",        "ZUR_USBIO_API_GetReg",
    "ZUR_USBIO_API_GetGPIO",       "ZUR_USBIO_API_SetI2c",
    "ZUR_USBIO_API_GetI2c",        "ZUR_USBIO_API_InitI2c",
};

std::vector<sim::Export> AllExports(const std::string& without = "") {
    std::vector<sim::Export> exports;
    for (const char* name : exportNames) {
        std::string n = name;
        FARPROC address = sim::Proc(&Unused);
        if (n == "ZUR_USBIO_API_Init")
            address = sim::Proc(&Init);
        if (n == "ZUR_USBIO_API_Destroy")
            address = sim::Proc(&Destroy);
        if (n == "ZUR_USBIO_API_Open")
            address = sim::Proc(&Open);
        if (n == "ZUR_USBIO_API_Close")
            address = sim::Proc(&Close);
        if (n == "ZUR_USBIO_API_InitI2c")
            address = sim::Proc(&InitI2c);
        if (n == "ZUR_USBIO_API_GetGPIO")
            address = sim::Proc(&GetGpio);
        if (n != without && !(without == "uncalled" && address == sim::Proc(&Unused))) {
            exports.push_back(sim::Export{n, address});
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
    for (const std::string& args : CallArgs("GetProcAddress")) {
        resolved.push_back(args.substr(1, args.find('"', 1) - 1));
    }
    EXPECT_EQ(std::vector<std::string>(std::begin(exportNames), std::end(exportNames)), resolved);

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

struct LoadFailure {
    const char* why;
    std::string missingExport;
    DWORD loadError;
    bool registered;
    std::vector<std::string> trace;
    DWORD error;
};

TEST_F(UsbIoTest, ALibraryThatCannotServeIsNotLoadedAndTheReasonIsTraced) {
    const LoadFailure cases[] = {
        {"no such file", "", 0, false, {"ZUR Joyvane: 126"}, 126},
        {"a 64-bit DLL", "", ERROR_BAD_EXE_FORMAT, true, {"ZUR Joyvane: 193"}, 193},
        {"no Init",
         "ZUR_USBIO_API_Init",
         0,
         true,
         {"ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
          "ZUR Joyvane: ZUR_USBIO_API_Init", "ZUR Joyvane: 127"},
         127},
        {"no Destroy",
         "ZUR_USBIO_API_Destroy",
         0,
         true,
         {"ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
          "ZUR Joyvane: ZUR_USBIO_API_Destroy", "ZUR Joyvane: 127"},
         127},
        {"no Open",
         "ZUR_USBIO_API_Open",
         0,
         true,
         {"ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
          "ZUR Joyvane: ZUR_USBIO_API_Open", "ZUR Joyvane: 127"},
         127},
        {"no Close",
         "ZUR_USBIO_API_Close",
         0,
         true,
         {"ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
          "ZUR Joyvane: ZUR_USBIO_API_Close", "ZUR Joyvane: 127"},
         127},
        {"no InitI2c",
         "ZUR_USBIO_API_InitI2c",
         0,
         true,
         {"ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
          "ZUR Joyvane: ZUR_USBIO_API_InitI2c", "ZUR Joyvane: 127"},
         127},
        {"no GetGPIO",
         "ZUR_USBIO_API_GetGPIO",
         0,
         true,
         {"ZUR Joyvane: Capture library: C:\\Joyvane\\ZUR_USBIO_KAD.dll",
          "ZUR Joyvane: ZUR_USBIO_API_GetGPIO", "ZUR Joyvane: 127"},
         127},
    };
    for (const LoadFailure& c : cases) {
        sim::Reset();
        ResetProductState();
        if (c.registered) {
            sim::RegisterModule("ZUR_USBIO_KAD.dll", AllExports(c.missingExport), c.loadError);
        }
        EXPECT_EQ(0, LoadUsbIoLibrary("ZUR_USBIO_KAD.dll")) << c.why;
        EXPECT_EQ(c.trace, sim::DebugLines()) << c.why;
        EXPECT_EQ(c.error, UsbIoLoadError()) << c.why;
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
}

} // namespace
