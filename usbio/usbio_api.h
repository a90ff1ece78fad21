// The capture-device I/O library: its entry-point table and the calls the worker makes.
#pragma once

#include <cstdint>

// What the library's GPIO entry point stores: 1 the button is down, 3 it is up;
// anything else means nothing.
typedef int32_t GpioState;

constexpr GpioState gpioButtonDown = 1;
constexpr GpioState gpioButtonUp = 3;
