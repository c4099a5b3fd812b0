// Fuzz target: property-list parsing (XML and binary) and the description
// form of whatever parses.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto value = platform::Value::parse(bytes)) {
    (void)value->description();
    (void)platform::truthValue(value->get("qvr.initialProgress"));
    // What was read must survive a round trip through the binary writer.
    if (auto again = platform::Value::parse(value->toBinary())) (void)again->description();
  }
  return 0;
}
