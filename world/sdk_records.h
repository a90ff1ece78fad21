// The setupapi and hid records as both fronts fill them, written once: the
// templates take whichever SDK declares the records (the real one in the
// stand-ins, sim/windows.h in the simulation) and never name its types, so the
// world stays free of the SDK.
#pragma once

#include <cstring>

#include "world/hid_devices.h"

namespace world {

// What the world needs of a record the caller passed.
template <typename Record> RecordIn In(const Record* record) {
    RecordIn in{record != nullptr, record != nullptr && record->cbSize == sizeof(Record), 0};
    if constexpr (requires { record->Reserved; }) {
        in.reserved = record != nullptr ? static_cast<uintptr_t>(record->Reserved) : 0;
    }
    return in;
}

template <typename GuidRecord> void CopyGuid(GuidRecord& to, const Guid& from) {
    static_assert(sizeof to == sizeof from.bytes);
    std::memcpy(&to, from.bytes, sizeof from.bytes);
}

// An SP_DEVINFO_DATA for the device: its setup class, DevInst and Reserved
// holding its index + 1 (as opaque to the caller as on Windows).
template <typename DevInfo> void FillDevice(DevInfo* record, int device) {
    if (record != nullptr && device >= 0) {
        CopyGuid(record->ClassGuid, hidSetupClass);
        record->DevInst = static_cast<decltype(record->DevInst)>(device + 1);
        record->Reserved = static_cast<decltype(record->Reserved)>(device + 1);
    }
}

template <typename Interface> void FillInterface(Interface* record, uintptr_t token) {
    if (token != 0) {
        CopyGuid(record->InterfaceClassGuid, hidInterfaceClass);
        record->Flags = spintActive;
        record->Reserved = static_cast<decltype(record->Reserved)>(token);
    }
}

// One top-level collection of the interface's usage, with eight buttons in a
// one-byte input report and the button feature report.
template <typename Caps> void FillCaps(Caps* record, const HidInterface* hid) {
    if (hid != nullptr) {
        *record = Caps{};
        record->UsagePage = hid->usagePage;
        record->Usage = hid->usage;
        record->InputReportByteLength = 2;
        record->FeatureReportByteLength = static_cast<unsigned short>(hid->featureLength);
        record->NumberLinkCollectionNodes = 1;
        record->NumberInputButtonCaps = 1;
        record->NumberInputDataIndices = 8;
        record->NumberFeatureValueCaps = 1;
        record->NumberFeatureDataIndices = 1;
    }
}

// Copies what a call handed back to the caller's optional out-parameters.
template <typename Number> void Put(Number* to, unsigned long value) {
    if (to != nullptr && value != 0) {
        *to = static_cast<Number>(value);
    }
}

} // namespace world
