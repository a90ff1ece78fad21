// Reader for the stand-ins' small text files (scenario and device configuration).
//
// A file is a list of directives, one per line: words separated by blanks or
// tabs, '#' starts a comment that runs to the end of the line, blank lines are
// ignored. Words are kept as written; each reader interprets them.
#pragma once

#include <string>
#include <vector>

namespace standin {

struct Directive {
    int line;                       // 1-based line number, for error messages
    std::vector<std::string> words; // never empty
};

// Reads `path` into `out`. Returns false (and leaves `out` empty) when the file
// cannot be opened; an existing empty file yields true and no directives.
bool ReadDirectives(const char* path, std::vector<Directive>& out);

// Parses a whole word as a signed decimal (or 0x-prefixed hexadecimal) number.
bool ParseNumber(const std::string& word, long& value);

} // namespace standin
