// The world the stand-ins present, read from "world.scenario" beside them (the
// scenario language of world/scenario.h; the same file a host test plays).
#pragma once

#include <windows.h>

#include "world/scenario.h"

namespace standin {

// Reads the file beside `module` into `scenario` and logs what it could not
// use to `log`. Without the file the world is the default one: the button up,
// every call succeeding, the virtual joystick present. False when there is no file.
bool ReadWorld(HMODULE module, world::Scenario& scenario, HANDLE log);

} // namespace standin
