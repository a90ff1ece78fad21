// The service's five numbers, as the command line gives them: the worker takes its
// own copy when it starts, so that the bridge needs nothing from the service.
#pragma once

#include <cstdint>

struct ServiceConfig {
    int32_t buttonNumber;   // first joystick button, 1 to 7; mode 2 also uses the next one
    int32_t mode;           // 0 follow, 1 pulse, 2 short/long press
    int32_t inverted;       // 1: a pressed button is a cleared bit
    int32_t pollIntervalMs; // pause between polls while connected
    int32_t pulseMs;        // length of a generated click
};
