// Run-time loading of shared libraries through the dynamic linker.
#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace platform {

namespace {

// dlerror's text is per thread and cleared by reading it.
std::string lastError(const char* fallback) {
  const char* reason = ::dlerror();
  return reason ? reason : fallback;
}

}  // namespace

DynamicLibrary DynamicLibrary::open(const std::string& name, std::string* error) {
  ::dlerror();
  // Functions are bound when first called: the libraries here export far
  // more than the program calls. Local scope keeps their symbols from
  // resolving references of libraries loaded later.
  void* handle = ::dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (!handle && error) *error = lastError("cannot load the library");
  return DynamicLibrary(handle);
}

void* DynamicLibrary::symbol(const char* name, std::string* error) const {
  if (!handle_) {
    if (error) *error = std::string(name) + ": no library loaded";
    return nullptr;
  }
  ::dlerror();
  void* address = ::dlsym(handle_, name);
  if (!address && error) *error = lastError((std::string(name) + ": undefined symbol").c_str());
  return address;
}

void DynamicLibrary::close() noexcept {
  if (handle_ && !kept_) ::dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace platform
