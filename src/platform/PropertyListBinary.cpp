// Binary property lists ("bplist00"): a bounds-checked reader and the writer.
//
// Layout: the magic, the objects, a table of object offsets, and a 32-byte
// trailer (6 unused bytes, the width of an offset, the width of an object
// reference, the object count, the top object's number and the offset
// table's position, the last three as 8-byte big-endian numbers). Each object
// starts with a marker byte: the type in the high nibble and, for sized
// types, the count in the low one (15: an integer object holding the count
// follows). Containers hold object references, numbers into the offset table.
#include <algorithm>
#include <cstring>
#include <map>

#include "platform/PropertyList.h"
#include "platform/Text.h"

namespace platform::propertylist {

namespace {

constexpr size_t kTrailerSize = 32;

enum Marker : unsigned {
  kFalse = 0x08,
  kTrue = 0x09,
  kIntegerType = 0x1,
  kRealType = 0x2,
  kDate = 0x33,
  kDataType = 0x4,
  kAsciiType = 0x5,
  kUtf16Type = 0x6,
  kArrayType = 0xA,
  kDictionaryType = 0xD,
};

// The count nibble that says an integer object holding the count follows.
constexpr unsigned kCountFollows = 0xF;

// What a list may expand to: references let a small list name one object
// many times, and each naming becomes a copy in the Value tree. A list whose
// containers are not shared has fewer values than bytes; its strings and data
// fill at most its own size, unless it names the same ones many times.
std::uint64_t valueBudget(size_t listSize) { return std::uint64_t{4} * listSize + (1 << 16); }
std::uint64_t byteBudget(size_t listSize) {
  return std::max<std::uint64_t>(std::uint64_t{4} * listSize, 64 << 20);
}

std::uint64_t bigEndian(const unsigned char* p, size_t width) {
  std::uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

// UTF-16 code units to UTF-8; a surrogate without its partner becomes
// U+FFFD. False on a NUL character.
bool appendUtf16(std::string& out, const unsigned char* p, std::uint64_t units) {
  out.reserve(out.size() + units);
  for (std::uint64_t i = 0; i < units; ++i) {
    char32_t c = static_cast<char32_t>(p[2 * i] << 8 | p[2 * i + 1]);
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      const char32_t low = static_cast<char32_t>(p[2 * i + 2] << 8 | p[2 * i + 3]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    appendUtf8(out, c);
  }
  return true;
}

// Reading ---------------------------------------------------------------

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view bytes)
      : p_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

  std::optional<Value> read() {
    if (size_ < kBinaryMagic.size() + 1 + kTrailerSize) return std::nullopt;
    const unsigned char* trailer = p_ + size_ - kTrailerSize;
    offsetWidth_ = trailer[6];
    referenceWidth_ = trailer[7];
    objectCount_ = bigEndian(trailer + 8, 8);
    const std::uint64_t top = bigEndian(trailer + 16, 8);
    tableOffset_ = bigEndian(trailer + 24, 8);
    // The objects lie between the magic and the offset table, the table
    // between them and the trailer.
    if (offsetWidth_ < 1 || offsetWidth_ > 8 || referenceWidth_ < 1 || referenceWidth_ > 8)
      return std::nullopt;
    if (tableOffset_ <= kBinaryMagic.size() || tableOffset_ > size_ - kTrailerSize) return std::nullopt;
    if (objectCount_ == 0 || objectCount_ > (size_ - kTrailerSize - tableOffset_) / offsetWidth_)
      return std::nullopt;
    if (top >= objectCount_) return std::nullopt;
    valuesLeft_ = valueBudget(size_);
    bytesLeft_ = byteBudget(size_);
    onPath_.assign(objectCount_, false);
    visited_.assign(objectCount_, false);
    auto value = object(top, 0);
    if (!value || overlapping()) return std::nullopt;
    return value;
  }

 private:
  struct Extent {
    std::uint64_t begin, end;
  };

  std::optional<Value> object(std::uint64_t index, int depth) {
    if (depth > kMaxDepth || onPath_[index] || valuesLeft_ == 0) return std::nullopt;
    --valuesLeft_;
    const std::uint64_t at = bigEndian(p_ + tableOffset_ + index * offsetWidth_, offsetWidth_);
    if (at < kBinaryMagic.size() || at >= tableOffset_) return std::nullopt;
    std::uint64_t pos = at + 1;
    const unsigned marker = p_[at];
    const unsigned type = marker >> 4, info = marker & 0xF;
    std::optional<Value> value;
    switch (type) {
      case 0x0:
        if (marker == kFalse || marker == kTrue) value = Value::boolean(marker == kTrue);
        break;
      case kIntegerType:
        value = integer(info, pos);
        break;
      case kRealType:
        value = real(info, pos);
        break;
      case kDate >> 4:
        if (marker == kDate && fits(pos, 8)) value = Value(Date{realAt(pos, 8)});
        pos += 8;
        break;
      case kDataType:
      case kAsciiType:
      case kUtf16Type:
        value = bytesObject(type, info, pos);
        break;
      case kArrayType:
      case kDictionaryType:
        onPath_[index] = true;
        value = container(type, info, pos, depth);
        onPath_[index] = false;
        break;
      default:
        break;  // null, sets, identifiers and fill are no setting's values
    }
    if (!value) return std::nullopt;
    if (!visited_[index]) {
      visited_[index] = true;
      extents_.push_back({at, pos});
    }
    return value;
  }

  // Whether width bytes from pos lie before the offset table.
  bool fits(std::uint64_t pos, std::uint64_t width) const {
    return pos <= tableOffset_ && width <= tableOffset_ - pos;
  }

  double realAt(std::uint64_t pos, size_t width) const {
    const std::uint64_t bits = bigEndian(p_ + pos, width);
    if (width == 4) {
      float f;
      const auto narrow = static_cast<std::uint32_t>(bits);
      std::memcpy(&f, &narrow, sizeof f);
      return f;
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // 1, 2 and 4 bytes hold unsigned numbers, 8 a signed one, 16 a signed
  // 128-bit one of which the low 64 bits are kept. pos ends past the object.
  std::optional<Value> integer(unsigned info, std::uint64_t& pos) {
    if (info > 4) return std::nullopt;
    const size_t width = size_t{1} << info;
    if (!fits(pos, width)) return std::nullopt;
    const size_t kept = std::min<size_t>(width, 8);
    const std::uint64_t v = bigEndian(p_ + pos + width - kept, kept);
    pos += width;
    return Value::integer(static_cast<std::int64_t>(v));
  }

  std::optional<Value> real(unsigned info, std::uint64_t& pos) {
    if (info != 2 && info != 3) return std::nullopt;
    const size_t width = size_t{1} << info;
    if (!fits(pos, width)) return std::nullopt;
    const double d = realAt(pos, width);
    pos += width;
    return Value::real(d);
  }

  // The count of a sized object: the marker's low nibble, or the integer
  // object (of 1, 2, 4 or 8 bytes) that follows the marker.
  std::optional<std::uint64_t> count(unsigned info, std::uint64_t& pos) const {
    if (info != kCountFollows) return info;
    if (!fits(pos, 1) || p_[pos] >> 4 != kIntegerType || (p_[pos] & 0xF) > 3) return std::nullopt;
    const size_t width = size_t{1} << (p_[pos] & 0xF);
    if (!fits(pos + 1, width)) return std::nullopt;
    const std::uint64_t n = bigEndian(p_ + pos + 1, width);
    pos += 1 + width;
    return n;
  }

  std::optional<Value> bytesObject(unsigned type, unsigned info, std::uint64_t& pos) {
    const auto n = count(info, pos);
    const std::uint64_t unit = type == kUtf16Type ? 2 : 1;
    if (!n || *n > (tableOffset_ - std::min(pos, tableOffset_)) / unit || *n > bytesLeft_)
      return std::nullopt;
    bytesLeft_ -= *n;
    const unsigned char* start = p_ + pos;
    pos += *n * unit;
    if (type == kDataType) return Value(Data{std::vector<std::uint8_t>(start, start + *n)});
    std::string text;
    if (type == kUtf16Type) {
      if (!appendUtf16(text, start, *n)) return std::nullopt;
    } else {
      // A NUL would cut the text short wherever it is passed on as a C string.
      if (std::memchr(start, 0, *n)) return std::nullopt;
      text.assign(reinterpret_cast<const char*>(start), *n);
    }
    return Value(std::move(text));
  }

  std::optional<Value> container(unsigned type, unsigned info, std::uint64_t& pos, int depth) {
    const auto n = count(info, pos);
    const std::uint64_t references = type == kDictionaryType ? 2 : 1;
    if (!n || *n > (tableOffset_ - std::min(pos, tableOffset_)) / referenceWidth_ / references)
      return std::nullopt;
    const std::uint64_t first = pos;
    pos += *n * references * referenceWidth_;
    auto child = [&](std::uint64_t k) -> std::optional<Value> {
      const std::uint64_t index = bigEndian(p_ + first + k * referenceWidth_, referenceWidth_);
      if (index >= objectCount_) return std::nullopt;
      return object(index, depth + 1);
    };
    if (type == kArrayType) {
      Array array;
      array.reserve(*n);
      for (std::uint64_t k = 0; k < *n; ++k) {
        auto item = child(k);
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      }
      return Value(std::move(array));
    }
    Dictionary dictionary;
    for (std::uint64_t k = 0; k < *n; ++k) {
      auto key = child(k);
      if (!key || !key->isString()) return std::nullopt;
      auto item = child(*n + k);
      if (!item) return std::nullopt;
      dictionary.insert_or_assign(*key->asString(), std::move(*item));
    }
    return Value(std::move(dictionary));
  }

  // Whether two of the objects read share bytes: no writer lays out a list
  // so, and a damaged list that does could pass one byte off as two values.
  bool overlapping() {
    std::sort(extents_.begin(), extents_.end(),
              [](const Extent& a, const Extent& b) { return a.begin < b.begin; });
    for (size_t i = 1; i < extents_.size(); ++i)
      if (extents_[i].begin < extents_[i - 1].end) return true;
    return false;
  }

  const unsigned char* p_;
  size_t size_;
  size_t offsetWidth_ = 0, referenceWidth_ = 0;
  std::uint64_t objectCount_ = 0, tableOffset_ = 0;
  std::uint64_t valuesLeft_ = 0, bytesLeft_ = 0;
  std::vector<bool> onPath_;   // containers being read: a reference back to one is a cycle
  std::vector<bool> visited_;  // objects whose extent is recorded
  std::vector<Extent> extents_;
};

// Writing ---------------------------------------------------------------

// UTF-8 text as UTF-16 code units; a byte that starts no valid sequence
// becomes U+FFFD.
std::vector<char16_t> utf16Of(std::string_view s) {
  std::vector<char16_t> units;
  units.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t c = 0xFFFD;
    size_t length = 1;
    // Continuation bytes that the lead byte announces (none: not a lead byte).
    size_t need = 0;
    if (b >= 0xC2 && b <= 0xDF)
      need = 1;
    else if (b >= 0xE0 && b <= 0xEF)
      need = 2;
    else if (b >= 0xF0 && b <= 0xF4)
      need = 3;
    if (b < 0x80) {
      c = b;
    } else if (need > 0 && i + need < s.size()) {
      char32_t v = b & (0x3F >> need);
      bool ok = true;
      for (size_t k = 1; k <= need && ok; ++k) {
        const auto cont = static_cast<unsigned char>(s[i + k]);
        ok = (cont & 0xC0) == 0x80;
        v = v << 6 | (cont & 0x3F);
      }
      const char32_t minimum = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
      if (ok && v >= minimum && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
        c = v;
        length = need + 1;
      }
    }
    i += length;
    if (c >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  return units;
}

size_t widthFor(std::uint64_t largest) {
  if (largest <= 0xFF) return 1;
  if (largest <= 0xFFFF) return 2;
  if (largest <= 0xFFFFFFFF) return 4;
  return 8;
}

class BinaryWriter {
 public:
  std::string write(const Value& root) {
    add(root);
    referenceWidth_ = widthFor(objects_.size() - 1);
    out_ = kBinaryMagic;
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Object& o : objects_) {
      offsets.push_back(out_.size());
      writeObject(o);
    }
    const std::uint64_t tableOffset = out_.size();
    const size_t offsetWidth = widthFor(offsets.back());
    for (std::uint64_t offset : offsets) appendBigEndian(offset, offsetWidth);
    out_.append(6, '\0');
    out_ += static_cast<char>(offsetWidth);
    out_ += static_cast<char>(referenceWidth_);
    appendBigEndian(objects_.size(), 8);
    appendBigEndian(0, 8);  // the top object is the first
    appendBigEndian(tableOffset, 8);
    return std::move(out_);
  }

 private:
  // A value, or a dictionary key (text alone), with the objects it refers to.
  struct Object {
    const Value* value;
    const std::string* text;
    std::vector<std::uint64_t> references;
  };

  // Numbers the objects depth first, a container before its items; equal
  // strings are written once.
  std::uint64_t add(const Value& v) {
    if (v.isString()) return addText(*v.asString(), &v);
    const std::uint64_t index = objects_.size();
    objects_.push_back({&v, nullptr, {}});
    std::vector<std::uint64_t> references;
    if (const Array* a = v.asArray()) {
      for (const Value& item : *a)
        if (!item.isNull()) references.push_back(add(item));
    } else if (const Dictionary* d = v.asDictionary()) {
      std::vector<std::uint64_t> values;
      for (const auto& [key, item] : *d) {
        if (item.isNull()) continue;
        references.push_back(addText(key, nullptr));
        values.push_back(add(item));
      }
      references.insert(references.end(), values.begin(), values.end());
    }
    objects_[index].references = std::move(references);
    return index;
  }

  std::uint64_t addText(const std::string& text, const Value* v) {
    auto [it, added] = strings_.try_emplace(text, objects_.size());
    if (added) objects_.push_back({v, &text, {}});
    return it->second;
  }

  void appendBigEndian(std::uint64_t v, size_t width) {
    for (size_t i = width; i-- > 0;) out_ += static_cast<char>(v >> (8 * i) & 0xFF);
  }

  void appendMarker(unsigned type, std::uint64_t count) {
    if (count < kCountFollows) {
      out_ += static_cast<char>(type << 4 | count);
      return;
    }
    out_ += static_cast<char>(type << 4 | kCountFollows);
    appendInteger(count);
  }

  void appendInteger(std::uint64_t v) {
    const size_t width = widthFor(v);
    const unsigned log2 = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
    out_ += static_cast<char>(kIntegerType << 4 | log2);
    appendBigEndian(v, width);
  }

  void appendDouble(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    appendBigEndian(bits, 8);
  }

  void writeObject(const Object& o) {
    if (o.text) return writeText(*o.text);
    const Value& v = *o.value;
    switch (v.type()) {
      case Value::Type::Null:
      case Value::Type::String:
        break;  // nulls are left out; strings are texts
      case Value::Type::Integer:
        // Negative numbers take the signed 8-byte form.
        if (*v.asInteger() < 0) {
          out_ += static_cast<char>(kIntegerType << 4 | 3);
          appendBigEndian(static_cast<std::uint64_t>(*v.asInteger()), 8);
        } else {
          appendInteger(static_cast<std::uint64_t>(*v.asInteger()));
        }
        break;
      case Value::Type::Real:
        out_ += static_cast<char>(kRealType << 4 | 3);
        appendDouble(*v.asReal());
        break;
      case Value::Type::Boolean:
        out_ += static_cast<char>(*v.asBoolean() ? kTrue : kFalse);
        break;
      case Value::Type::Date:
        out_ += static_cast<char>(kDate);
        appendDouble(v.asDate()->secondsSinceReferenceDate);
        break;
      case Value::Type::Data: {
        const auto& bytes = v.asData()->bytes;
        appendMarker(kDataType, bytes.size());
        out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        break;
      }
      case Value::Type::Array:
      case Value::Type::Dictionary:
        appendMarker(v.asArray() ? kArrayType : kDictionaryType,
                     v.asArray() ? o.references.size() : o.references.size() / 2);
        for (std::uint64_t r : o.references) appendBigEndian(r, referenceWidth_);
        break;
    }
  }

  // ASCII text as it is, any other as UTF-16.
  void writeText(const std::string& text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      appendMarker(kAsciiType, text.size());
      out_ += text;
      return;
    }
    const std::vector<char16_t> units = utf16Of(text);
    appendMarker(kUtf16Type, units.size());
    for (char16_t u : units) appendBigEndian(u, 2);
  }

  std::vector<Object> objects_;
  std::map<std::string_view, std::uint64_t> strings_;
  size_t referenceWidth_ = 1;
  std::string out_;
};

}  // namespace

std::optional<Value> readBinary(std::string_view bytes) {
  if (bytes.substr(0, kBinaryMagic.size()) != kBinaryMagic) return std::nullopt;
  return BinaryReader(bytes).read();
}

std::string writeBinary(const Value& value) {
  if (value.isNull()) return {};
  return BinaryWriter().write(value);
}

}  // namespace platform::propertylist
