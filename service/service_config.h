// The service's whole configuration: five numbers from its command line.
#pragma once

#include <cstdint>

#include "bridge/settings.h"

// Written by ParseCommandLine before the service starts, read-only afterwards.
extern ServiceConfig serviceConfig;

// The five numbers that follow the program's name.
constexpr int commandLineArguments = 5;

// The modes the translation knows: 0 follow, 1 pulse, 2 short/long press.
bool ModeIsKnown(int32_t mode);
// "follow", "pulse" or "short/long press"; nullptr for a mode the service refuses.
const char* ModeName(int32_t mode);

// 1 when serviceConfig holds the five arguments and the service may start; 0 when the
// command line was refused (after telling the user in a message box).
int ParseCommandLine(int argc, char** argv);

// The first button from argument 1: 2 to 7 as given, anything else button 1.
int32_t ButtonNumberFromArg(const char* text);

// Decimal text read the way the C runtime's atoi reads it: leading white space, an
// optional sign, digits up to the first non-digit, 0 without digits. Values beyond
// 32 bits saturate, as the Windows runtime's atoi does.
int32_t ParseDecimal(const char* text);
