// Run-time loading of DLLs that a test registers with an export table of its own
// functions.
#include <algorithm>
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
    int references;
    int loads;
    int frees;
};

std::vector<Module> modules;

// Module handles point into this array so that they are distinct and stable.
char moduleTags[64];

Module* FindModule(const std::string& fileName) {
    for (Module& module : modules) {
        if (strcasecmp(module.fileName.c_str(), fileName.c_str()) == 0) {
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
}

int LoadedModulesLocked() {
    int references = 0;
    for (const Module& module : modules) {
        references += module.references;
    }
    return references;
}

} // namespace detail

void RegisterModule(const std::string& fileName, std::vector<Export> exports, DWORD loadError) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    if (modules.size() < sizeof moduleTags) {
        modules.push_back(Module{fileName, std::move(exports), loadError, 0, 0, 0});
    }
}

int ModuleLoads(const std::string& fileName) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    Module* module = FindModule(fileName);
    return module ? module->loads : 0;
}

int ModuleFrees(const std::string& fileName) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    Module* module = FindModule(fileName);
    return module ? module->frees : 0;
}

} // namespace sim

HMODULE LoadLibraryA(LPCSTR fileName) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HMODULE handle = nullptr;
    sim::Module* module = sim::FindModule(fileName);
    if (module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
    } else if (module->loadError != 0) {
        SetLastError(module->loadError);
    } else {
        ++module->references;
        ++module->loads;
        handle = &sim::moduleTags[module - sim::modules.data()];
    }
    sim::detail::LogLocked("LoadLibraryA", "\"%s\" -> %s", fileName, handle ? "module" : "NULL");
    return handle;
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR name) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    FARPROC address = nullptr;
    sim::Module* module = sim::ModuleOf(handle);
    if (module != nullptr) {
        for (const sim::Export& entry : module->exports) {
            // Export names are case-sensitive.
            if (entry.name == name) {
                address = entry.address;
            }
        }
    }
    if (address == nullptr) {
        SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    }
    sim::detail::LogLocked("GetProcAddress", "\"%s\" -> %s", name, address ? "address" : "NULL");
    return address;
}

BOOL FreeLibrary(HMODULE handle) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL freed = FALSE;
    sim::Module* module = sim::ModuleOf(handle);
    if (module != nullptr) {
        --module->references;
        ++module->frees;
        freed = TRUE;
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    sim::detail::LogLocked("FreeLibrary", "%s -> %d", module ? module->fileName.c_str() : "?",
                           freed);
    return freed;
}

// Modules are registered by file name; the simulated machine keeps them all in the
// program's own folder.
DWORD GetModuleFileNameA(HMODULE handle, LPSTR path, DWORD size) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::Module* module = sim::ModuleOf(handle);
    std::string full = module != nullptr ? "C:\\Joyvane\\" + module->fileName : "";
    DWORD copied = 0;
    if (module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
    } else if (size > 0) {
        copied = static_cast<DWORD>(std::min<size_t>(full.size(), size - 1));
        full.copy(path, copied);
        path[copied] = '\0';
    }
    sim::detail::LogLocked("GetModuleFileNameA", "-> %s", full.c_str());
    return copied;
}
