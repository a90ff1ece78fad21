// The process-wide state of every subsystem, as a new process has it.
#pragma once

// Returns every process-wide value to its start: the configuration, the masks and
// the translation state, the joystick connection, the library table, the worker's
// flags and handles, and the service's state and stop sequence. For the tests,
// fuzzers and benchmarks, which run the product many times in one process; the
// handles it forgets must have been closed.
void ResetProcessState();
