// Standard output captured at the file-descriptor level, so that whatever the
// product prints, by whichever stream function, is seen by the test.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "sim/sim.h"

namespace sim {
namespace {

int savedStdout = -1;
std::FILE* captureFile = nullptr;

} // namespace

void BeginStdoutCapture() {
    if (captureFile != nullptr) {
        return;
    }
    std::fflush(stdout);
    captureFile = std::tmpfile();
    savedStdout = dup(fileno(stdout));
    dup2(fileno(captureFile), fileno(stdout));
}

std::string TakeStdout() {
    std::string text;
    if (captureFile == nullptr) {
        return text;
    }
    std::fflush(stdout);
    std::rewind(captureFile);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, captureFile)) > 0) {
        text.append(buffer, got);
    }
    // Start afresh so that the next take returns only what follows.
    if (ftruncate(fileno(captureFile), 0) == 0) {
        std::rewind(captureFile);
    }
    return text;
}

void EndStdoutCapture(bool echo) {
    if (captureFile == nullptr) {
        return;
    }
    std::string rest = TakeStdout();
    dup2(savedStdout, fileno(stdout));
    close(savedStdout);
    std::fclose(captureFile);
    captureFile = nullptr;
    savedStdout = -1;
    if (echo) {
        std::fputs(rest.c_str(), stdout);
    }
}

} // namespace sim
