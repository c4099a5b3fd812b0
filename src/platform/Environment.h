// The process environment and current directory. Reads are safe from any
// thread as long as nobody writes; writes happen on the worker thread before
// any child is started.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The value of a variable, or absent when it is not set.
std::optional<std::string> getEnvironment(const std::string& name);
// Sets a variable unless it is already set (even to an empty value).
void setEnvironmentIfAbsent(const std::string& name, const std::string& value);
// Sets a variable, replacing its value; removes one. Only while no other
// thread reads the environment.
void setEnvironment(const std::string& name, const std::string& value);
void unsetEnvironment(const std::string& name);
// Every variable as (name, value), in the process's own order (environ).
std::vector<std::pair<std::string, std::string>> environmentEntries();

// The user's temporary directory, with a trailing "/": $TMPDIR or "/tmp/".
std::string temporaryDirectory();
// The user's home directory: $HOME, else the password database.
std::string homeDirectory();

// The process's own arguments, the program path first.
std::vector<std::string> processArguments();
// This process's id; it stays the same when the process runs a new program.
long processIdentifier();

}  // namespace platform
