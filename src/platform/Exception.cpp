// Platform exceptions with their call stack.
#include "platform/Exception.h"

#include <execinfo.h>
#include <unwind.h>

#include <cstdint>

#include "platform/PosixResources.h"

namespace platform {

namespace {

constexpr int kMaximumFrames = 64;

struct Frames {
  void* addresses[kMaximumFrames];
  int count = 0;
};

_Unwind_Reason_Code collectFrame(_Unwind_Context* context, void* data) {
  auto* frames = static_cast<Frames*>(data);
  std::uintptr_t address = _Unwind_GetIP(context);
  if (address == 0 || frames->count == kMaximumFrames) return _URC_END_OF_STACK;
  frames->addresses[frames->count++] = reinterpret_cast<void*>(address);
  return _URC_NO_REASON;
}

}  // namespace

Exception::Exception(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)) {
  // The unwinder linked into the program walks the stack; the C library's
  // backtrace() would first load the shared unwinder library for it.
  Frames frames;
  _Unwind_Backtrace(&collectFrame, &frames);
  // One block holds the array and its texts.
  if (MallocBlock<char*> names{backtrace_symbols(frames.addresses, frames.count)})
    symbols_.assign(names.get(), names.get() + frames.count);
}

}  // namespace platform
