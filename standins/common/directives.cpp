#include "common/directives.h"

#include <windows.h>

#include <cstdlib>

namespace standin {

bool ReadDirectives(const char* path, std::vector<Directive>& out) {
    out.clear();
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    CloseHandle(file);

    int lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        ++lineNumber;
        Directive directive{lineNumber, {}};
        std::string word;
        for (size_t i = start; i < end && text[i] != '#'; ++i) {
            const char c = text[i];
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!word.empty()) {
                    directive.words.push_back(word);
                    word.clear();
                }
            } else {
                word += c;
            }
        }
        if (!word.empty()) {
            directive.words.push_back(word);
        }
        if (!directive.words.empty()) {
            out.push_back(directive);
        }
        start = end + 1;
    }
    return true;
}

bool ParseNumber(const std::string& word, long& value) {
    if (word.empty()) {
        return false;
    }
    // Base 10 unless 0x-prefixed: a leading zero must not turn a time into octal.
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    char* end = nullptr;
    value = std::strtol(word.c_str(), &end, hex ? 16 : 10);
    return *end == '\0';
}

} // namespace standin
