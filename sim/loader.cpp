// Run-time loading of DLLs that a test registers with an export table of its own
// functions, each in one folder of the machine, found along the folders that the
// load's search flags (or the process's default directories) allow.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <strings.h>

#include "sim/state.h"

namespace sim {
namespace {

struct Module {
    std::string fileName;
    std::vector<Export> exports;
    DWORD loadError;
    DllFolder folder;
    int references;
    int loads;
    int frees;
};

std::vector<Module> modules;

// Files opened as data: their path, version resource and references. Their
// handles point into dataTags.
struct DataFile {
    std::string path;
    std::vector<uint8_t> versionResource;
    int references;
};
std::vector<DataFile> dataFiles;
char dataTags[16];
// The one resource a data file has, for FindResourceA's handle.
char resourceTags[16];

const DWORD dataFlags = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

DataFile* DataFileOf(HMODULE handle) {
    for (size_t i = 0; i < dataFiles.size(); ++i) {
        if (handle == &dataTags[i] && dataFiles[i].references > 0) {
            return &dataFiles[i];
        }
    }
    return nullptr;
}

DataFile* DataFileOfResource(HRSRC resource) {
    for (size_t i = 0; i < dataFiles.size(); ++i) {
        if (reinterpret_cast<char*>(resource) == &resourceTags[i] && dataFiles[i].references > 0) {
            return &dataFiles[i];
        }
    }
    return nullptr;
}

// What SetDefaultDllDirectories set; 0 until then.
DWORD defaultDirectories = 0;

// Whether the machine is 64-bit Windows, running this 32-bit program under WOW64.
bool windows64 = false;

const char programFile[] = "C:\\Joyvane\\joyvane_service.exe";

const DWORD searchFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                          LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

// The folders searched for a bare file name, in order. Without search flags and
// without default directories this is the classic order of a process that did
// not opt into safe DLL search mode changes: the program's folder, System32, the
// Windows folder, the current directory, then every folder on PATH (the 16-bit
// system folder never holds a match here). The simulation has no folders added
// with AddDllDirectory, so LOAD_LIBRARY_SEARCH_USER_DIRS adds none.
std::vector<DllFolder> SearchOrder(DWORD flags) {
    if ((flags & searchFlags) == 0) {
        flags = defaultDirectories;
    }
    if (flags & LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) {
        flags |= LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
    }
    if ((flags & searchFlags) == 0) {
        return {DllFolder::Application, DllFolder::System32, DllFolder::Windows,
                DllFolder::CurrentDirectory, DllFolder::PathFolder};
    }
    std::vector<DllFolder> order;
    if (flags & LOAD_LIBRARY_SEARCH_APPLICATION_DIR) {
        order.push_back(DllFolder::Application);
    }
    if (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) {
        order.push_back(DllFolder::System32);
    }
    return order;
}

std::string FolderPath(DllFolder folder) {
    switch (folder) {
    case DllFolder::Application:
        return "C:\\Joyvane\\";
    case DllFolder::System32:
        return windows64 ? "C:\\Windows\\SysWOW64\\" : "C:\\Windows\\System32\\";
    case DllFolder::Windows:
        return "C:\\Windows\\";
    case DllFolder::CurrentDirectory:
        return "C:\\Users\\Public\\";
    case DllFolder::PathFolder:
        return "C:\\Tools\\";
    }
    return "";
}

// Module handles point into this array so that they are distinct and stable.
char moduleTags[64];

Module* FindModule(const std::string& fileName, DllFolder folder) {
    for (Module& module : modules) {
        if (module.folder == folder && strcasecmp(module.fileName.c_str(), fileName.c_str()) == 0) {
            return &module;
        }
    }
    return nullptr;
}

Module* ModuleOf(HMODULE handle) {
    for (size_t i = 0; i < modules.size(); ++i) {
        if (handle == &moduleTags[i] && modules[i].references > 0) {
            return &modules[i];
        }
    }
    return nullptr;
}

} // namespace

namespace detail {

void ResetLoaderLocked() {
    modules.clear();
    dataFiles.clear();
    defaultDirectories = 0;
    windows64 = false;
}

int LoadedModulesLocked() {
    int references = 0;
    for (const Module& module : modules) {
        references += module.references;
    }
    for (const DataFile& file : dataFiles) {
        references += file.references;
    }
    return references;
}

} // namespace detail

void RegisterModule(const std::string& fileName, std::vector<Export> exports, DWORD loadError,
                    DllFolder folder) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    // A file copied over one that is not loaded takes its place; Windows keeps a
    // loaded DLL's file from being overwritten.
    Module* existing = FindModule(fileName, folder);
    if (existing != nullptr && existing->references == 0) {
        existing->exports = std::move(exports);
        existing->loadError = loadError;
    } else if (modules.size() < sizeof moduleTags) {
        modules.push_back(Module{fileName, std::move(exports), loadError, folder, 0, 0, 0});
    }
}

int ModuleLoads(const std::string& fileName, DllFolder folder) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    Module* module = FindModule(fileName, folder);
    return module ? module->loads : 0;
}

int ModuleFrees(const std::string& fileName, DllFolder folder) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    Module* module = FindModule(fileName, folder);
    return module ? module->frees : 0;
}

void SetWindows64(bool on) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    windows64 = on;
}

void AddFile(const std::string& path, std::vector<uint8_t> versionResource) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    if (dataFiles.size() < sizeof dataTags) {
        dataFiles.push_back(DataFile{path, std::move(versionResource), 0});
    }
}

std::vector<uint8_t> VersionResource(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    // VS_VERSIONINFO: wLength, wValueLength, wType, the key L"VS_VERSION_INFO"
    // with its terminator, padding to 32 bits, then VS_FIXEDFILEINFO.
    std::vector<uint8_t> block;
    auto word = [&block](uint32_t value) {
        block.push_back(static_cast<uint8_t>(value));
        block.push_back(static_cast<uint8_t>(value >> 8));
    };
    auto dword = [&word](uint32_t value) {
        word(value & 0xFFFFu);
        word(value >> 16);
    };
    const uint32_t fixedSize = 13 * 4;
    word(0); // the length, set below
    word(fixedSize);
    word(0);
    for (char ch : std::string("VS_VERSION_INFO")) {
        word(static_cast<uint8_t>(ch));
    }
    word(0);
    while (block.size() % 4 != 0) {
        block.push_back(0);
    }
    dword(0xFEEF04BDu);                        // dwSignature
    dword(0x00010000u);                        // dwStrucVersion
    dword(static_cast<uint32_t>(a) << 16 | b); // dwFileVersionMS
    dword(static_cast<uint32_t>(c) << 16 | d); // dwFileVersionLS
    dword(static_cast<uint32_t>(a) << 16 | b); // dwProductVersionMS
    dword(static_cast<uint32_t>(c) << 16 | d); // dwProductVersionLS
    dword(0x3F);                               // dwFileFlagsMask
    dword(0);                                  // dwFileFlags
    dword(0x00040004u);                        // dwFileOS: VOS_NT_WINDOWS32
    dword(1);                                  // dwFileType: VFT_APP
    dword(0);                                  // dwFileSubtype
    dword(0);                                  // dwFileDateMS
    dword(0);                                  // dwFileDateLS
    block[0] = static_cast<uint8_t>(block.size());
    block[1] = static_cast<uint8_t>(block.size() >> 8);
    return block;
}

DWORD DefaultDllDirectories() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return defaultDirectories;
}

} // namespace sim

DWORD LoadSystemDlls(const char** failedName) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    const DWORD error = sim::detail::FailureLocked("LoadSystemDlls", ERROR_MOD_NOT_FOUND);
    if (error != 0) {
        *failedName = "hid.dll";
    }
    sim::detail::LogCallLocked("LoadSystemDlls", {.result = static_cast<int64_t>(error)});
    return error;
}

BOOL SetDefaultDllDirectories(DWORD directoryFlags) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    // Only the search flags are accepted, and at least one of them.
    BOOL set = FALSE;
    if (DWORD error =
            sim::detail::FailureLocked("SetDefaultDllDirectories", ERROR_INVALID_PARAMETER)) {
        SetLastError(error);
    } else if (directoryFlags == 0 || (directoryFlags & ~sim::searchFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        sim::defaultDirectories = directoryFlags;
        set = TRUE;
    }
    sim::detail::LogCallLocked("SetDefaultDllDirectories",
                               {.result = set, .numbers = {directoryFlags}});
    return set;
}

HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags) {
    sim::detail::Checkpoint("LoadLibraryExA");
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HMODULE handle = nullptr;
    sim::Module* module = nullptr;
    // The file handle is reserved and must be empty; flags other than the search
    // flags (data-file loads and the like) are not simulated.
    if (DWORD error = sim::detail::FailureLocked("LoadLibraryExA", ERROR_MOD_NOT_FOUND)) {
        SetLastError(error);
    } else if (file == nullptr && (flags & sim::dataFlags) != 0 &&
               (flags & ~(sim::dataFlags | sim::searchFlags)) == 0) {
        // A file opened for its resources only: named by its full path, never
        // run, found or not as the file system says.
        for (size_t i = 0; i < sim::dataFiles.size() && handle == nullptr; ++i) {
            if (strcasecmp(sim::dataFiles[i].path.c_str(), fileName) == 0) {
                ++sim::dataFiles[i].references;
                handle = &sim::dataTags[i];
            }
        }
        if (handle == nullptr) {
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
    } else if (file != nullptr || (flags & ~sim::searchFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        // The first folder that holds the name decides, also when that copy
        // cannot be loaded (a 64-bit DLL ends the search with its error).
        for (sim::DllFolder folder : sim::SearchOrder(flags)) {
            module = sim::FindModule(fileName, folder);
            if (module != nullptr) {
                break;
            }
        }
        if (module == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
        } else if (module->loadError != 0) {
            SetLastError(module->loadError);
        } else {
            ++module->references;
            ++module->loads;
            handle = &sim::moduleTags[module - sim::modules.data()];
        }
    }
    sim::detail::LogCallLocked("LoadLibraryExA", {.result = handle ? 1 : 0,
                                                  .numbers = {flags},
                                                  .pointers = {sim::detail::PointerOf(file)},
                                                  .strings = {fileName}});
    return handle;
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR name) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    FARPROC address = nullptr;
    sim::Module* module = sim::ModuleOf(handle);
    DWORD error = sim::detail::FailureLocked("GetProcAddress", ERROR_PROC_NOT_FOUND);
    if (error != 0) {
        SetLastError(error);
    } else if (module != nullptr) {
        for (const sim::Export& entry : module->exports) {
            // Export names are case-sensitive.
            if (entry.name == name) {
                address = entry.address;
            }
        }
    }
    if (address == nullptr && error == 0) {
        SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    }
    sim::detail::LogCallLocked("GetProcAddress", {.result = address ? 1 : 0,
                                                  .pointers = {sim::detail::PointerOf(handle)},
                                                  .strings = {name}});
    return address;
}

BOOL FreeLibrary(HMODULE handle) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL freed = FALSE;
    sim::Module* module = sim::ModuleOf(handle);
    sim::DataFile* dataFile = sim::DataFileOf(handle);
    // A refused free leaves the module loaded.
    if (DWORD error = sim::detail::FailureLocked("FreeLibrary", ERROR_INVALID_HANDLE)) {
        SetLastError(error);
    } else if (dataFile != nullptr) {
        --dataFile->references;
        freed = TRUE;
    } else if (module != nullptr) {
        --module->references;
        ++module->frees;
        freed = TRUE;
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    sim::detail::LogCallLocked("FreeLibrary",
                               {.result = freed, .pointers = {sim::detail::PointerOf(handle)}});
    return freed;
}

// The simulated machine's folders have fixed paths; the program lies in
// C:\Joyvane. A path that does not fit is cut to size - 1 characters, returns
// size and leaves ERROR_INSUFFICIENT_BUFFER, as Windows does since Vista.
DWORD GetModuleFileNameA(HMODULE handle, LPSTR path, DWORD size) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::Module* module = sim::ModuleOf(handle);
    std::string full = handle == nullptr   ? std::string(sim::programFile)
                       : module != nullptr ? sim::FolderPath(module->folder) + module->fileName
                                           : "";
    DWORD copied = 0;
    if (DWORD error = sim::detail::FailureLocked("GetModuleFileNameA", ERROR_MOD_NOT_FOUND)) {
        SetLastError(error);
        full.clear();
    } else if (handle != nullptr && module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
    } else if (size > 0) {
        copied = static_cast<DWORD>(std::min<size_t>(full.size(), size - 1));
        full.copy(path, copied);
        path[copied] = '\0';
        if (copied < full.size()) {
            copied = size;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    } else {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    sim::detail::LogCallLocked("GetModuleFileNameA", {.result = copied,
                                                      .numbers = {size},
                                                      .pointers = {sim::detail::PointerOf(handle)},
                                                      .strings = {full}});
    return copied;
}

namespace sim {
namespace {

// A registered module whose folder's path and name make up fileName (ignoring
// case, as NTFS does); on 64-bit Windows the redirector also leads
// C:\Windows\System32 to this program's system folder.
Module* FileAt(const std::string& fileName) {
    for (Module& module : modules) {
        std::string full = FolderPath(module.folder) + module.fileName;
        std::string redirected = "C:\\Windows\\System32\\" + module.fileName;
        if (strcasecmp(full.c_str(), fileName.c_str()) == 0 ||
            (windows64 && module.folder == DllFolder::System32 &&
             strcasecmp(redirected.c_str(), fileName.c_str()) == 0)) {
            return &module;
        }
    }
    return nullptr;
}

bool KnownFolder(const std::string& fileName) {
    size_t slash = fileName.rfind('\\');
    if (slash == std::string::npos) {
        return false;
    }
    std::string folder = fileName.substr(0, slash + 1);
    for (DllFolder known : {DllFolder::Application, DllFolder::System32, DllFolder::Windows,
                            DllFolder::CurrentDirectory, DllFolder::PathFolder}) {
        if (strcasecmp(FolderPath(known).c_str(), folder.c_str()) == 0) {
            return true;
        }
    }
    return windows64 && strcasecmp(folder.c_str(), "C:\\Windows\\System32\\") == 0;
}

// GetSystemDirectoryA's way of answering: the length without the terminating
// null when the folder fits, else the size it needs with the null, and 0 only
// for a failure.
UINT CopyFolder(const char* folder, LPSTR buffer, UINT size) {
    UINT length = static_cast<UINT>(std::strlen(folder));
    if (buffer == nullptr || size <= length) {
        return length + 1;
    }
    std::memcpy(buffer, folder, length + 1);
    return length;
}

} // namespace
} // namespace sim

DWORD GetFileAttributesA(LPCSTR fileName) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    std::string name = fileName != nullptr ? fileName : "";
    if (DWORD error = sim::detail::FailureLocked("GetFileAttributesA", ERROR_FILE_NOT_FOUND)) {
        SetLastError(error);
    } else if (sim::FileAt(name) != nullptr) {
        attributes = FILE_ATTRIBUTE_ARCHIVE;
    } else {
        SetLastError(sim::KnownFolder(name) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    sim::detail::LogCallLocked(
        "GetFileAttributesA",
        {.result = attributes == INVALID_FILE_ATTRIBUTES ? -1 : attributes, .strings = {name}});
    return attributes;
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    UINT result = 0;
    if (DWORD error = sim::detail::FailureLocked("GetSystemDirectoryA", ERROR_INVALID_PARAMETER)) {
        SetLastError(error);
    } else {
        result = sim::CopyFolder("C:\\Windows\\System32", buffer, size);
    }
    sim::detail::LogCallLocked("GetSystemDirectoryA", {.result = result, .numbers = {size}});
    return result;
}

UINT GetSystemWow64DirectoryA(LPSTR buffer, UINT size) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    UINT result = 0;
    if (DWORD error =
            sim::detail::FailureLocked("GetSystemWow64DirectoryA", ERROR_INVALID_PARAMETER)) {
        SetLastError(error);
    } else if (!sim::windows64) {
        // 32-bit Windows has no WOW64 folder.
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    } else {
        result = sim::CopyFolder("C:\\Windows\\SysWOW64", buffer, size);
    }
    sim::detail::LogCallLocked("GetSystemWow64DirectoryA", {.result = result, .numbers = {size}});
    return result;
}

// The resource calls know one resource: a data file's version resource,
// MAKEINTRESOURCE(1) of type RT_VERSION.
HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HRSRC resource = nullptr;
    sim::DataFile* file = sim::DataFileOf(module);
    uintptr_t nameId = reinterpret_cast<uintptr_t>(name);
    uintptr_t typeId = reinterpret_cast<uintptr_t>(type);
    if (DWORD error = sim::detail::FailureLocked("FindResourceA", ERROR_RESOURCE_TYPE_NOT_FOUND)) {
        SetLastError(error);
    } else if (file == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    } else if (file->versionResource.empty()) {
        // A file without resources has no resource section at all.
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    } else if (typeId != 16) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    } else if (nameId != VS_VERSION_INFO) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    } else {
        resource = reinterpret_cast<HRSRC>(&sim::resourceTags[file - sim::dataFiles.data()]);
    }
    sim::detail::LogCallLocked(
        "FindResourceA", {.result = resource ? 1 : 0,
                          .numbers = {static_cast<int64_t>(nameId), static_cast<int64_t>(typeId)},
                          .pointers = {sim::detail::PointerOf(module)}});
    return resource;
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HGLOBAL loaded = nullptr;
    sim::DataFile* file = sim::DataFileOfResource(resource);
    if (DWORD error = sim::detail::FailureLocked("LoadResource", ERROR_RESOURCE_DATA_NOT_FOUND)) {
        SetLastError(error);
    } else if (file == nullptr || sim::DataFileOf(module) != file) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    } else {
        loaded = file->versionResource.data();
    }
    sim::detail::LogCallLocked("LoadResource", {.result = loaded ? 1 : 0});
    return loaded;
}

LPVOID LockResource(HGLOBAL resource) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::detail::LogCallLocked("LockResource", {.result = resource ? 1 : 0});
    return resource;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    DWORD size = 0;
    sim::DataFile* file = sim::DataFileOfResource(resource);
    if (DWORD error = sim::detail::FailureLocked("SizeofResource", ERROR_RESOURCE_DATA_NOT_FOUND)) {
        SetLastError(error);
    } else if (file == nullptr || sim::DataFileOf(module) != file) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    } else {
        size = static_cast<DWORD>(file->versionResource.size());
    }
    sim::detail::LogCallLocked("SizeofResource", {.result = size});
    return size;
}
