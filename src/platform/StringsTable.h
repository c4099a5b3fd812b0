// Strings tables of .lproj folders: "key" = "value"; pairs with comments and
// escapes, in UTF-8 or UTF-16 (BOM, either byte order), or XML/binary
// property-list dictionaries of strings. Pure functions; thread-safe.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

using StringsTable = std::map<std::string, std::string, std::less<>>;

// Parses the bytes of a strings file; absent when malformed.
std::optional<StringsTable> parseStringsTable(std::string_view bytes);
// Reads and parses a strings file; absent when unreadable or malformed.
std::optional<StringsTable> readStringsTable(const std::string& path);

}  // namespace platform
