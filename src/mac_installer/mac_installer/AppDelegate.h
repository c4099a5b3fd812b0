// The installer front end: the application loop's delegate, the worker that
// provides a runtime and runs the Java child process.
#pragma once

// Runs the front-end mode with the process's own arguments. It does not
// return while the front end runs; the front end ends the process itself.
int applicationMain(int count, char** arguments);
