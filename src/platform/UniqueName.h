// Globally unique strings: a random (version 4) UUID text, upper case, such
// as "0F6A2C1E-5B7D-4E3A-9C21-7D4B8E1F0A36". Unique across processes, hosts
// and time for every practical purpose. Callable from any thread.
#pragma once

#include <string>

namespace platform {

std::string globallyUniqueString();

}  // namespace platform
