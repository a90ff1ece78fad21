// The setup check of the console runner: each link between the capture device's
// button and the virtual joystick tried in turn, one line each, with what to do
// about a link that does not work.
#pragma once

// "joyvane_console --check BUTTON MODE INVERTED POLL_MS CLICK_MS": 0 when every
// link works, 1 otherwise.
int RunSetupCheck(int argc, char** argv);
