// Kernel objects the product owns: the calling thread's last error, handles,
// local heap blocks, and files opened on device paths.
#include <cstring>
#include <map>
#include <strings.h>

#include "sim/state.h"

namespace sim {
namespace {

thread_local DWORD lastError = 0;

std::map<HANDLE, detail::HandleEntry> handles;
uintptr_t nextHandle = 0x100;
std::map<void*, size_t> localBlocks;

} // namespace

namespace detail {

void ResetKernelLocked() {
    handles.clear();
    nextHandle = 0x100;
    for (auto& block : localBlocks) {
        std::free(block.first);
    }
    localBlocks.clear();
}

HANDLE NewHandleLocked(HandleEntry entry) {
    // Windows handles are multiples of 4; a fresh value for every open makes a
    // use after close visible.
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
    nextHandle += 4;
    handles.emplace(handle, entry);
    return handle;
}

HandleEntry* FindHandleLocked(HANDLE handle) {
    auto it = handles.find(handle);
    return it == handles.end() ? nullptr : &it->second;
}

int CountHandlesLocked(HandleKind kind) {
    int count = 0;
    for (const auto& handle : handles) {
        count += handle.second.kind == kind ? 1 : 0;
    }
    return count;
}

int LocalBlocksLocked() {
    return static_cast<int>(localBlocks.size());
}

} // namespace detail

HANDLE OpenJoystickHandle() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return detail::NewHandleLocked(detail::HandleEntry{detail::HandleKind::Device, -1, 0, nullptr});
}

} // namespace sim

DWORD GetLastError() {
    return sim::lastError;
}

void SetLastError(DWORD error) {
    sim::lastError = error;
}

BOOL CloseHandle(HANDLE handle) {
    sim::detail::Checkpoint("CloseHandle");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL closed = FALSE;
    // A refused close leaves the handle open.
    if (DWORD error = sim::detail::FailureLocked("CloseHandle", ERROR_INVALID_HANDLE)) {
        sim::lastError = error;
    } else if (sim::handles.erase(handle) == 0) {
        sim::lastError = ERROR_INVALID_HANDLE;
    } else {
        closed = TRUE;
    }
    sim::detail::LogCallLocked("CloseHandle",
                               {.result = closed, .numbers = {sim::detail::HandleNumber(handle)}});
    return closed;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    void* block = nullptr;
    if (DWORD error = sim::detail::FailureLocked("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY)) {
        sim::lastError = error;
    } else {
        // A zero-byte request still gives a distinct block, as on Windows.
        block = std::malloc(bytes == 0 ? 1 : bytes);
        if ((flags & LPTR) == LPTR) {
            std::memset(block, 0, bytes == 0 ? 1 : bytes);
        }
        sim::localBlocks.emplace(block, bytes);
    }
    sim::detail::LogCallLocked(
        "LocalAlloc", {.result = block ? 1 : 0, .numbers = {flags, static_cast<int64_t>(bytes)}});
    return block;
}

HLOCAL LocalFree(HLOCAL block) {
    sim::detail::Checkpoint("LocalFree");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HLOCAL result = block;
    auto it = sim::localBlocks.find(block);
    if (it != sim::localBlocks.end()) {
        sim::localBlocks.erase(it);
        std::free(block);
        result = nullptr;
    } else {
        sim::lastError = ERROR_INVALID_HANDLE;
    }
    sim::detail::LogCallLocked(
        "LocalFree", {.result = result ? 1 : 0, .pointers = {sim::detail::PointerOf(block)}});
    return result;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HANDLE handle = INVALID_HANDLE_VALUE;
    // A device that was enumerated and is gone by the open is not found.
    DWORD error = sim::detail::FailureLocked("CreateFileA", ERROR_FILE_NOT_FOUND);
    bool refused = error != 0;
    if (!refused) {
        error = ERROR_FILE_NOT_FOUND;
    }
    std::vector<sim::detail::DeviceSlot>& devices = sim::detail::DevicesLocked();
    for (size_t d = 0; !refused && d < devices.size() && handle == INVALID_HANDLE_VALUE; ++d) {
        const std::vector<sim::HidInterface>& interfaces = devices[d].device.interfaces;
        for (size_t i = 0; devices[d].present && i < interfaces.size(); ++i) {
            // Device paths name the same device whatever their letter case.
            if (strcasecmp(interfaces[i].path.c_str(), fileName) != 0) {
                continue;
            }
            error = interfaces[i].openError;
            if (error == 0) {
                handle = sim::detail::NewHandleLocked(
                    sim::detail::HandleEntry{sim::detail::HandleKind::Device, static_cast<int>(d),
                                             static_cast<int>(i), nullptr});
            }
            break;
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        sim::lastError = error;
    }
    sim::detail::LogCallLocked("CreateFileA", {.result = sim::detail::HandleNumber(handle),
                                               .numbers = {access, shareMode, disposition, flags},
                                               .pointers = {sim::detail::PointerOf(security),
                                                            sim::detail::PointerOf(templateFile)},
                                               .strings = {fileName}});
    return handle;
}
