#include "service/registered_command_line.h"

#include <cstdio>
#include <cstring>

#include "service/service_config.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool EndsWithExe(const char* start, const char* end) {
    const char suffix[] = ".exe";
    size_t length = static_cast<size_t>(end - start);
    if (length < 4) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        char c = start[length - 4 + i];
        if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != suffix[i]) {
            return false;
        }
    }
    return true;
}

// Splits the rest of the command line into words as the Microsoft C runtime
// splits argv: blanks separate words outside quotes, a quote opens or closes a
// quoted part, 2n backslashes before a quote are n backslashes (and the quote
// counts), 2n+1 are n and a literal quote; other backslashes are themselves.
int SplitWords(const char* text, RegisteredCommandLine* commandLine) {
    char* out = commandLine->wordText;
    char* const outEnd = commandLine->wordText + sizeof commandLine->wordText;
    commandLine->wordCount = 0;
    for (;;) {
        while (IsBlank(*text)) {
            ++text;
        }
        if (*text == '\0') {
            return 1;
        }
        if (commandLine->wordCount < registeredWordsKept) {
            commandLine->words[commandLine->wordCount] = out;
        }
        ++commandLine->wordCount;
        bool inQuotes = false;
        while (*text != '\0' && (inQuotes || !IsBlank(*text))) {
            size_t backslashes = 0;
            while (text[backslashes] == '\\') {
                ++backslashes;
            }
            size_t copies = backslashes;
            bool literalQuote = false;
            if (text[backslashes] == '"') {
                copies = backslashes / 2;
                literalQuote = backslashes % 2 == 1;
            }
            if (outEnd - out < static_cast<ptrdiff_t>(copies + 2)) {
                return 0;
            }
            std::memset(out, '\\', copies);
            out += copies;
            text += backslashes;
            if (*text == '"') {
                if (literalQuote) {
                    *out++ = '"';
                } else {
                    inQuotes = !inQuotes;
                }
                ++text;
            } else if (backslashes == 0) {
                *out++ = *text++;
            }
        }
        *out++ = '\0';
    }
}

} // namespace

int ParseRegisteredCommandLine(const char* imagePath, RegisteredCommandLine* commandLine) {
    *commandLine = RegisteredCommandLine{};
    const char* text = imagePath;
    while (IsBlank(*text)) {
        ++text;
    }
    const char* pathStart = text;
    const char* pathEnd = nullptr;
    const char* rest = nullptr;
    if (*text == '"') {
        pathStart = text + 1;
        pathEnd = std::strchr(pathStart, '"');
        if (pathEnd == nullptr) {
            return 0;
        }
        rest = pathEnd + 1;
        // A word must end at the closing quote.
        if (*rest != '\0' && !IsBlank(*rest)) {
            return 0;
        }
        commandLine->quoted = true;
    } else {
        // The service manager tries the words of an unquoted path in turn
        // ("C:\Program", "C:\Program Files\...\joyvane_service.exe"); Windows
        // paths to a program end in ".exe" at the end of a word.
        for (const char* end = text; *end != '\0'; ++end) {
            if ((end[1] == '\0' || IsBlank(end[1])) && EndsWithExe(text, end + 1)) {
                pathEnd = end + 1;
                break;
            }
        }
        if (pathEnd == nullptr) {
            return 0;
        }
        rest = pathEnd;
    }
    size_t length = static_cast<size_t>(pathEnd - pathStart);
    if (length == 0 || length >= sizeof commandLine->programPath ||
        std::memchr(pathStart, '"', length) != nullptr) {
        return 0;
    }
    std::memcpy(commandLine->programPath, pathStart, length);
    commandLine->programPath[length] = '\0';
    return SplitWords(rest, commandLine);
}

void ProgramFolder(const RegisteredCommandLine& commandLine, char* folder, size_t size) {
    const char* slash = std::strrchr(commandLine.programPath, '\\');
    size_t length = slash != nullptr ? static_cast<size_t>(slash - commandLine.programPath) : 0;
    if (size == 0) {
        return;
    }
    if (length >= size) {
        length = size - 1;
    }
    std::memcpy(folder, commandLine.programPath, length);
    folder[length] = '\0';
}

const char* ServiceStateName(DWORD state) {
    static const char* const names[] = {"UNKNOWN",       "STOPPED", "START_PENDING",
                                        "STOP_PENDING",  "RUNNING", "CONTINUE_PENDING",
                                        "PAUSE_PENDING", "PAUSED"};
    return state < sizeof names / sizeof names[0] ? names[state] : "UNKNOWN";
}

DWORD QueryServiceConfiguration(SC_HANDLE service, QUERY_SERVICE_CONFIGA** config) {
    *config = nullptr;
    // The first call only says how much it needs. The configuration can grow
    // between two calls (another program changing it): a second shortage comes
    // with the new size, and is tried again a few times.
    DWORD needed = 0;
    if (QueryServiceConfigA(service, nullptr, 0, &needed)) {
        return ERROR_INVALID_DATA;
    }
    DWORD error = GetLastError();
    for (int attempt = 0; attempt < 3 && error == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        auto* block = static_cast<QUERY_SERVICE_CONFIGA*>(LocalAlloc(LPTR, needed));
        if (block == nullptr) {
            return GetLastError();
        }
        if (QueryServiceConfigA(service, block, needed, &needed)) {
            *config = block;
            return 0;
        }
        error = GetLastError();
        LocalFree(block);
    }
    return error;
}

void DescribeSettings(const char* const* numbers, int count, char* text, size_t size) {
    if (count < commandLineArguments) {
        std::snprintf(text, size, "%d of the five numbers: the service's start fails with error 87",
                      count);
        return;
    }
    int32_t button = ButtonNumberFromArg(numbers[0]);
    int32_t mode = ParseDecimal(numbers[1]);
    int32_t inverted = ParseDecimal(numbers[2]);
    int32_t poll = ParseDecimal(numbers[3]);
    int32_t click = ParseDecimal(numbers[4]);
    char buttons[48];
    if (mode == 2) {
        std::snprintf(buttons, sizeof buttons, "buttons %ld and %ld", static_cast<long>(button),
                      static_cast<long>(button + 1));
    } else {
        std::snprintf(buttons, sizeof buttons, "button %ld", static_cast<long>(button));
    }
    const char* modeName = ModeName(mode);
    std::snprintf(
        text, size, "%s, mode %ld (%s), %s values, poll every %ld ms, clicks of %ld ms", buttons,
        static_cast<long>(mode),
        modeName != nullptr ? modeName : "refused: the service's start fails with error 87",
        inverted == 1 ? "inverted" : "normal", static_cast<long>(poll), static_cast<long>(click));
}

void JoinWords(const RegisteredCommandLine& commandLine, char* text, size_t size) {
    size_t used = 0;
    if (size == 0) {
        return;
    }
    text[0] = '\0';
    int kept =
        commandLine.wordCount < registeredWordsKept ? commandLine.wordCount : registeredWordsKept;
    for (int i = 0; i < kept && used < size; ++i) {
        int written =
            std::snprintf(text + used, size - used, "%s%s", i > 0 ? " " : "", commandLine.words[i]);
        if (written < 0) {
            return;
        }
        used += static_cast<size_t>(written);
    }
}
