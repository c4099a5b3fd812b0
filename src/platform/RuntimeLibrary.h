// Preparation of the process for a runtime's launcher library started inside
// it. Called on the main thread before the library's launch function, while no
// other thread reads the environment. Never fails: when nothing is needed, or
// the runtime cannot be read, nothing is changed.
#pragma once

#include <string>

namespace platform {

// The launcher library of a Linux runtime restarts the running executable
// (with the Java arguments alone, so this program would come back in another
// mode) when LD_LIBRARY_PATH names a VM directory (".../lib/server" or
// ".../lib/client") holding a libjvm.so and does not begin with the runtime's
// own VM directory. This gives the variable the form the library would give it
// for that restart, so the library goes on in this process. libraryPath is the
// launcher library that was loaded.
void prepareForRuntimeLibrary(const std::string& libraryPath);

// Whether the runtime's launcher library may still restart the executable:
// it only does so to change LD_LIBRARY_PATH, and never when that is unset or
// empty.
bool runtimeLibraryMayRestart();

}  // namespace platform
