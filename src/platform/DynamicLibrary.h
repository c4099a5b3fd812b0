// A shared library loaded at run time, for the libraries the program uses
// only in some runs (the window toolkit, the transfer library, a runtime's
// launcher library): the program stays startable where they are missing.
// The owner is move-only and unloads the library when it goes away, unless
// the library was kept for the rest of the process. A missing library or
// function is an ordinary outcome: false or an invalid owner, with the
// dynamic linker's reason. Callable from any thread.
#pragma once

#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

namespace platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  DynamicLibrary(DynamicLibrary&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), kept_(other.kept_) {}
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, nullptr);
      kept_ = other.kept_;
    }
    return *this;
  }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary() { close(); }

  // Loads a library by file name (searched as the dynamic linker searches)
  // or by path, its own symbols kept out of the global scope. Invalid, and
  // *error set to the dynamic linker's message, when it cannot be loaded.
  static DynamicLibrary open(const std::string& name, std::string* error);

  explicit operator bool() const { return handle_ != nullptr; }

  // Sets function to the library's function (searched in the library and
  // the libraries it depends on). False, function null and *error set when
  // there is none. The caller's pointer type is the contract: take it from
  // the library's own header (decltype(&name)) so a mismatch does not build.
  template <typename F>
  bool resolve(const char* name, F*& function, std::string* error) const {
    static_assert(std::is_function_v<F>, "resolve takes a function pointer");
    void* address = symbol(name, error);
    static_assert(sizeof function == sizeof address);
    // The dynamic linker hands out functions as data pointers; POSIX
    // guarantees the conversion, a copy performs it without a cast.
    std::memcpy(&function, &address, sizeof function);
    return address != nullptr;
  }

  // Keeps the library loaded until the process ends: for a library whose
  // code runs beyond its owner (threads, callbacks, the Java runtime). The
  // owner still resolves functions.
  void keepLoaded() noexcept { kept_ = true; }

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* symbol(const char* name, std::string* error) const;
  void close() noexcept;

  void* handle_ = nullptr;
  bool kept_ = false;
};

}  // namespace platform
