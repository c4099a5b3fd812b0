// Readers and writers of the two property-list formats behind Value: XML
// (through pugixml) and binary ("bplist00"). Internal to the platform layer.
// Pure functions, safe from any thread. Readers give an absent value on any
// malformation and never throw; writers leave null values out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace platform::propertylist {

// Deeper nesting than this is refused: no real setting nests so deep, and
// the readers recurse once per level.
constexpr int kMaxDepth = 512;

// The first bytes of a binary property list.
constexpr std::string_view kBinaryMagic = "bplist00";

std::optional<Value> readXML(std::string_view bytes);
std::optional<Value> readBinary(std::string_view bytes);
std::string writeXML(const Value& value);
std::string writeBinary(const Value& value);

}  // namespace platform::propertylist
