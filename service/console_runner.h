// The bridge without the service manager: the same five arguments, run in a
// console until Ctrl+C, so that a user can check a setup before installing the
// service.
#pragma once

int ConsoleProcessMain(int argc, char** argv);
