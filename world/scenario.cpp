#include "world/scenario.h"

#include <cstdlib>

namespace world {
namespace {

std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : line.substr(0, line.find('#'))) {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

// The capture library's calls go by short words in the file, by export names in
// the fault table.
std::string CallName(const std::string& word) {
    static const char* const words[captureCallCount] = {"init", "open",  "initi2c",
                                                        "gpio", "close", "destroy"};
    for (int call = 0; call < captureCallCount; ++call) {
        if (word == words[call]) {
            return CaptureExport(static_cast<CaptureCall>(call));
        }
    }
    return word;
}

bool ParseTime(const std::string& word, long& time) {
    if (word == "end") {
        time = forever;
        return true;
    }
    return ParseNumber(word, time);
}

bool ParseFault(const std::vector<std::string>& w, Fault& fault) {
    if (w.size() < 3 || (w[1] != "fail" && w[1] != "block")) {
        return false;
    }
    fault.call = CallName(w[0]);
    fault.block = w[1] == "block";
    long number = 0;
    size_t next = 3;
    if (!fault.block && w[2] == "nth") {
        if (w.size() < 4 || !ParseNumber(w[3], number) || number < 1) {
            return false;
        }
        fault.firstCall = static_cast<int>(number);
        next = 4;
    } else if (w.size() < 4 || !ParseNumber(w[2], fault.from) || !ParseTime(w[3], fault.until)) {
        return false;
    } else {
        next = 4;
    }
    if (w.size() == next + 1 && !fault.block && ParseNumber(w[next], number)) {
        if (fault.call.rfind("ZUR_USBIO_API_", 0) == 0) {
            fault.result = number;
        } else {
            fault.error = static_cast<unsigned long>(number);
        }
        return true;
    }
    return w.size() == next;
}

bool ParseDevice(const std::vector<std::string>& w, HidDevice& device) {
    device = VirtualJoystick();
    HidInterface& hid = device.interfaces.front();
    for (size_t i = 1; i < w.size(); ++i) {
        const size_t equals = w[i].find('=');
        const std::string key = w[i].substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : w[i].substr(equals + 1);
        long number = 0;
        if (key == "ids" && equals != std::string::npos) {
            device.hardwareIds = MultiSzFromList(value);
        } else if (key == "noids") {
            device.hasHardwareIds = false;
        } else if (key == "page" && ParseNumber(value, number)) {
            hid.usagePage = static_cast<unsigned short>(number);
        } else if (key == "usage" && ParseNumber(value, number)) {
            hid.usage = static_cast<unsigned short>(number);
        } else if (key == "open" && value == "fail") {
            hid.openError = errorFileNotFound;
        } else if (key == "preparsed" && value == "fail") {
            hid.preparsedDataFails = true;
        } else if (key == "caps" && value == "fail") {
            hid.capsFail = true;
        } else if (key == "feature" && value == "fail") {
            hid.featureFails = true;
        } else if (key == "restart" && ParseNumber(value, number)) {
            hid.restartAt = number;
        } else if (key == "featurelength" && ParseNumber(value, number)) {
            hid.featureLength = static_cast<unsigned long>(number);
        } else if (key == "pad" && ParseNumber(value, number)) {
            hid.padding = number;
        } else {
            return false;
        }
    }
    return true;
}

bool ParseButtonState(const std::string& word, int& state) {
    long value = 0;
    if (word == "down" || word == "up") {
        state = word == "down" ? buttonDown : buttonUp;
        return true;
    }
    if (!ParseNumber(word, value)) {
        return false;
    }
    state = static_cast<int>(value);
    return true;
}

bool Apply(const std::vector<std::string>& w, Scenario& scenario, bool& devicesNamed) {
    long a = 0;
    long b = 0;
    int state = 0;
    if (w[0] == "service" && w.size() >= 2) {
        scenario.service.clear();
        for (size_t i = 1; i < w.size(); ++i) {
            scenario.service += (i > 1 ? " " : "") + w[i];
        }
        return true;
    }
    if (w[0] == "library" && w.size() == 2) {
        scenario.library = w[1];
        return true;
    }
    if (w[0] == "stop" && w.size() == 2) {
        return ParseNumber(w[1], scenario.stopAt);
    }
    if (w[0] == "press" && w.size() == 3 && ParseNumber(w[1], a) && ParseNumber(w[2], b)) {
        scenario.capture.Press(a, b);
        return true;
    }
    if (w[0] == "button" && w.size() == 3 && ParseNumber(w[1], a) &&
        ParseButtonState(w[2], state)) {
        scenario.capture.SetButton(a, state);
        return true;
    }
    if (w[0] == "expect" && w.size() == 4 && ParseNumber(w[1], a) && ParseNumber(w[2], b)) {
        scenario.expected.push_back(Expected{a, static_cast<int>(b), w[3]});
        return true;
    }
    if (w[0] == "expect" && w.size() == 2 && w[1] == "none") {
        scenario.expectNothing = true;
        return true;
    }
    if (w[0] == "no-hid-devices" && w.size() == 1) {
        devicesNamed = true;
        return true;
    }
    if (w[0] == "device") {
        HidDevice device;
        devicesNamed = true;
        if (!ParseDevice(w, device)) {
            return false;
        }
        scenario.devices.push_back(device);
        return true;
    }
    Fault fault;
    if (ParseFault(w, fault)) {
        scenario.faults.push_back(fault);
        return true;
    }
    return false;
}

} // namespace

bool ParseNumber(std::string_view word, long& value) {
    if (word.empty()) {
        return false;
    }
    // Base 10 unless 0x-prefixed: a leading zero must not turn a time into octal.
    const std::string text(word);
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, hex ? 16 : 10);
    return *end == '\0';
}

Scenario ParseScenario(std::string_view text) {
    Scenario scenario;
    bool devicesNamed = false;
    int number = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        ++number;
        const std::vector<std::string> words = Words(line);
        if (!words.empty() && !Apply(words, scenario, devicesNamed)) {
            scenario.ignored.push_back("line " + std::to_string(number) + ": " + std::string(line));
        }
        start = end + 1;
    }
    if (!devicesNamed) {
        scenario.devices.push_back(VirtualJoystick());
    }
    return scenario;
}

} // namespace world
