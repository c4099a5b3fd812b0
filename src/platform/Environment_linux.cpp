// Environment, temporary and home directories on Linux.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/Environment.h"

extern char** environ;

namespace platform {

std::optional<std::string> getEnvironment(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

void setEnvironmentIfAbsent(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 0);
}

void setEnvironment(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironment(const std::string& name) { ::unsetenv(name.c_str()); }

std::vector<std::pair<std::string, std::string>> environmentEntries() {
  std::vector<std::pair<std::string, std::string>> out;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    out.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return out;
}

std::string temporaryDirectory() {
  std::string dir = "/tmp";
  if (const char* t = std::getenv("TMPDIR"); t && *t) dir = t;
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string homeDirectory() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::vector<std::string> processArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  size_t from = 0;
  while (from < all.size()) {
    size_t end = all.find('\0', from);
    if (end == std::string::npos) end = all.size();
    out.push_back(all.substr(from, end - from));
    from = end + 1;
  }
  return out;
}

long processIdentifier() { return static_cast<long>(::getpid()); }

}  // namespace platform
