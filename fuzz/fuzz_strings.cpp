// Fuzz target: strings tables (the "key" = "value"; form in UTF-8 and
// UTF-16, and property-list tables), and their texts used as formats the
// way the error dialogs use catalogue texts.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Format.h"
#include "platform/StringsTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto table = platform::parseStringsTable(bytes)) {
    int budget = 8;  // a few formats per input keep the fuzzer fast
    for (const auto& [key, text] : *table) {
      if (budget-- == 0) break;
      (void)platform::format(text, key, std::string("info2"));
    }
  }
  return 0;
}
