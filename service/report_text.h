// A joystick button report in words, as the console runner and the setup check
// show it: its five bytes, then the buttons it holds down.
#pragma once

#include <cstddef>

#include "joystick/virtual_joystick.h"

// "00 00 00 80 00 button 4 down", "00 00 00 80 01 buttons 4 5 down",
// "00 00 00 00 00 all up".
void DescribeReport(const ButtonFeatureReport& report, char* text, size_t size);
