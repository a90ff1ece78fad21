#include "service/file_version.h"

#include <cstring>

namespace {

// VS_VERSIONINFO begins with three 16-bit fields (length, value length, type)
// and the key L"VS_VERSION_INFO" with its terminator (32 bytes), padded to 32
// bits: the VS_FIXEDFILEINFO follows at byte 40. Its fields are little-endian
// 32-bit values: the signature, the structure version, then the file version's
// high and low halves.
constexpr size_t fixedInfoOffset = 40;
constexpr size_t fixedInfoSize = 52;
constexpr uint32_t fixedInfoSignature = 0xFEEF04BDu;
const char versionKey[] = "VS_VERSION_INFO";

uint32_t ReadLittleEndian(const uint8_t* bytes, size_t size) {
    uint32_t value = 0;
    for (size_t i = size; i > 0; --i) {
        value = value << 8 | bytes[i - 1];
    }
    return value;
}

DWORD ParseVersionResource(const uint8_t* bytes, DWORD size, uint16_t version[4]) {
    if (size < fixedInfoOffset + fixedInfoSize) {
        return ERROR_INVALID_DATA;
    }
    uint32_t length = ReadLittleEndian(bytes, 2);
    uint32_t valueLength = ReadLittleEndian(bytes + 2, 2);
    if (length > size || length < fixedInfoOffset + fixedInfoSize || valueLength < fixedInfoSize) {
        return ERROR_INVALID_DATA;
    }
    for (size_t i = 0; i < sizeof versionKey; ++i) {
        if (ReadLittleEndian(bytes + 6 + 2 * i, 2) != static_cast<uint8_t>(versionKey[i])) {
            return ERROR_INVALID_DATA;
        }
    }
    const uint8_t* fixed = bytes + fixedInfoOffset;
    if (ReadLittleEndian(fixed, 4) != fixedInfoSignature) {
        return ERROR_INVALID_DATA;
    }
    uint32_t high = ReadLittleEndian(fixed + 8, 4);
    uint32_t low = ReadLittleEndian(fixed + 12, 4);
    version[0] = static_cast<uint16_t>(high >> 16);
    version[1] = static_cast<uint16_t>(high & 0xFFFFu);
    version[2] = static_cast<uint16_t>(low >> 16);
    version[3] = static_cast<uint16_t>(low & 0xFFFFu);
    return 0;
}

} // namespace

DWORD ReadFileVersion(const char* path, uint16_t version[4]) {
    std::memset(version, 0, 4 * sizeof version[0]);
    // As an image resource only: the file is mapped for reading, nothing of it
    // runs, and nothing it imports is loaded.
    HMODULE module =
        LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return GetLastError();
    }
    DWORD error = 0;
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(VS_VERSION_INFO),
                                   MAKEINTRESOURCEA(16)); // RT_VERSION, in either character set
    HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    DWORD size = data != nullptr ? SizeofResource(module, resource) : 0;
    if (resource == nullptr || loaded == nullptr) {
        error = GetLastError();
    } else if (data == nullptr || size == 0) {
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    } else {
        error = ParseVersionResource(static_cast<const uint8_t*>(data), size, version);
    }
    FreeLibrary(module);
    return error;
}
