#include "service/error_text.h"

#include <cstdio>

namespace {

struct ErrorWords {
    DWORD error;
    const char* text;
};

// The codes of the calls the console makes, and the exit codes the service
// leaves when it stops by itself.
const ErrorWords errorWords[] = {
    {0, "no error"},
    {ERROR_FILE_NOT_FOUND, "file not found"},
    {ERROR_PATH_NOT_FOUND, "path not found"},
    {ERROR_ACCESS_DENIED, "access denied"},
    {ERROR_INVALID_HANDLE, "invalid handle"},
    {ERROR_NOT_ENOUGH_MEMORY, "not enough memory"},
    {ERROR_INVALID_DATA, "invalid data"},
    {ERROR_INVALID_PARAMETER, "invalid parameter"},
    {ERROR_INSUFFICIENT_BUFFER, "buffer too small"},
    {ERROR_MOD_NOT_FOUND, "module not found"},
    {ERROR_PROC_NOT_FOUND, "procedure not found"},
    {ERROR_BAD_EXE_FORMAT, "not a valid 32-bit program or DLL"},
    {ERROR_SERVICE_REQUEST_TIMEOUT, "the service did not answer in time"},
    {ERROR_SERVICE_ALREADY_RUNNING, "the service is already running"},
    {ERROR_SERVICE_DISABLED, "the service is disabled"},
    {ERROR_SERVICE_DOES_NOT_EXIST, "the service is not installed"},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "the service cannot take the control now"},
    {ERROR_SERVICE_NOT_ACTIVE, "the service is not running"},
    {ERROR_SERVICE_SPECIFIC_ERROR, "a service-specific error"},
    {ERROR_PROCESS_ABORTED, "the process ended unexpectedly"},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "the service is marked for deletion"},
    {ERROR_SERVICE_NEVER_STARTED, "never started since the system started"},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "no resources at all"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "no version resource"},
    {ERROR_RESOURCE_NAME_NOT_FOUND, "no version resource"},
};

} // namespace

const char* ErrorText(DWORD error) {
    for (const ErrorWords& words : errorWords) {
        if (words.error == error) {
            return words.text;
        }
    }
    return "";
}

void FormatError(DWORD error, char* text, size_t size) {
    const char* words = ErrorText(error);
    if (words[0] != '\0') {
        std::snprintf(text, size, "error %lu (%s)", static_cast<unsigned long>(error), words);
    } else {
        std::snprintf(text, size, "error %lu", static_cast<unsigned long>(error));
    }
}
