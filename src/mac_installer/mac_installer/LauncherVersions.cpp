// Version strings (token and component readings, pre-release test, vendor
// prefixes) and the check of one runtime candidate.
#include <algorithm>
#include <mutex>
#include <new>
#include <set>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Format.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace {

constexpr int kDigit = 0;
constexpr int kOther = 1;
constexpr int kSeparator = 2;

// Characters --------------------------------------------------------------------

using platform::Character;
using platform::characterAt;

constexpr bool isAsciiSeparator(unsigned char c) {
  if (c >= 0x09 && c <= 0x0D) return true;
  return std::string_view(" !\"#%&'()*,-./:;?@[\\]_{}").find(static_cast<char>(c)) != std::string_view::npos;
}

int classOfCodePoint(std::int32_t cp) {
  if (cp >= 0 && cp < 0x80) {
    if (cp >= '0' && cp <= '9') return kDigit;
    return isAsciiSeparator(static_cast<unsigned char>(cp)) ? kSeparator : kOther;
  }
  // A character outside the basic multilingual plane is two UTF-16 code
  // units, both surrogates and so of class other; an invalid byte is other.
  if (cp < 0 || cp > 0xFFFF) return kOther;
  if (cp == 0x85) return kSeparator;
  if (platform::isDecimalDigit(cp)) return kDigit;
  return platform::isSeparatorOrPunctuation(cp) ? kSeparator : kOther;
}

int classOfToken(std::string_view token) {
  if (token.empty()) return kOther;
  if (token == ".") return kSeparator;
  return classOfCodePoint(characterAt(token, 0).codePoint);
}

// Tokens -------------------------------------------------------------------------

struct Token {
  std::string_view text;
  int type;
};

// Reads the tokens of a text one at a time, without copying.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  bool next(Token& token) {
    if (at_ >= text_.size()) return false;
    std::size_t start = at_;
    Character first = characterAt(text_, at_);
    int type = classOfCodePoint(first.codePoint);
    at_ += first.length;
    if (type != kSeparator) {
      while (at_ < text_.size()) {
        Character c = characterAt(text_, at_);
        if (classOfCodePoint(c.codePoint) != type) break;
        at_ += c.length;
      }
    }
    token = {text_.substr(start, at_ - start), type};
    return true;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// Orders code points as their UTF-16 code units would order: characters
// beyond U+FFFF (surrogate pairs) sort between U+D7FF and U+E000.
std::int64_t utf16OrderKey(std::int32_t cp) {
  if (cp < 0) return 0x300000;  // an invalid byte sorts after everything
  if (cp >= 0x10000) return 0xD800 + (cp - 0x10000);
  if (cp >= 0xE000) return 0x200000 + cp;
  return cp;
}

int compareOtherTokens(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    Character ca = characterAt(a, i), cb = characterAt(b, j);
    std::int64_t ka = utf16OrderKey(ca.codePoint), kb = utf16OrderKey(cb.codePoint);
    if (ka == kb && ca.codePoint < 0) {
      ka = static_cast<unsigned char>(a[i]);
      kb = static_cast<unsigned char>(b[j]);
    }
    if (ka != kb) return ka < kb ? -1 : 1;
    i += ca.length;
    j += cb.length;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

// Class order of the token reading: other < separator < digit.
int classRank(int type) { return type == kOther ? 0 : type == kSeparator ? 1 : 2; }

// Components ------------------------------------------------------------------------

bool isSplitCharacter(char c) { return c == '.' || c == '_' || c == '-' || c == '+'; }

// The integer at the start of a component; 0 when there is none.
std::int64_t componentValue(std::string_view component) {
  return platform::leadingInteger(component).value_or(0);
}

// Launch versions ---------------------------------------------------------------------

// The launch version ends up in the process-wide launchJavaVersion and is
// handed to JLI_Launch, whose VM may read it for as long as the process runs;
// so these texts are never freed. They are interned in a set that is itself
// never destroyed (no exit-time destructor may free them under a running VM),
// which also keeps them reachable for leak checkers.
const char* keepLaunchVersion(std::string text) {
  struct Store {
    std::mutex mutex;
    std::set<std::string, std::less<>> texts;
  };
  static Store* store = new Store();
  std::lock_guard<std::mutex> lock(store->mutex);
  return store->texts.insert(std::move(text)).first->c_str();
}

}  // namespace

// Version strings ---------------------------------------------------------------------

int Launcher::typeOfCharacter(std::string_view text) { return classOfToken(text); }

std::vector<std::string> Launcher::splitVersionString(std::string_view version) {
  std::vector<std::string> tokens;
  Tokenizer tokenizer(version);
  for (Token token; tokenizer.next(token);) tokens.emplace_back(token.text);
  return tokens;
}

int Launcher::compareVersion(std::string_view version, std::string_view toVersion) {
  Tokenizer a(version), b(toVersion);
  Token ta, tb;
  for (;;) {
    bool hasA = a.next(ta), hasB = b.next(tb);
    if (!hasA && !hasB) return 0;
    // The first token without a partner decides: other makes its string lower.
    if (!hasB) return ta.type == kOther ? -1 : 1;
    if (!hasA) return tb.type == kOther ? 1 : -1;
    if (ta.type != tb.type) return classRank(ta.type) < classRank(tb.type) ? -1 : 1;
    if (ta.type == kDigit) {
      std::int64_t va = platform::valueOfDigits(ta.text), vb = platform::valueOfDigits(tb.text);
      if (va != vb) return va < vb ? -1 : 1;
    } else if (ta.type == kOther) {
      if (int order = compareOtherTokens(ta.text, tb.text)) return order;
    }
  }
}

std::string Launcher::removeJrePrefix(std::string_view name) {
  auto drop = [&name](std::string_view prefix) {
    if (name.starts_with(prefix)) name.remove_prefix(prefix.size());
  };
  drop("openjdk-");
  drop("openjdk");
  if (name.starts_with("jdk-") || name.starts_with("jre-")) name.remove_prefix(4);
  if (name.starts_with("jdk") || name.starts_with("jre")) name.remove_prefix(3);
  return std::string(name);
}

bool Launcher::isBetaVersion(const std::optional<std::string>& version) {
  if (!version) return false;
  for (std::string_view marker : {"beta", "ea", "rc"})
    if (version->find(marker) != std::string::npos) return true;
  return false;
}

std::vector<std::string> Launcher::versionList(std::string_view version) {
  std::vector<std::string> components;
  std::size_t start = 0;
  for (std::size_t at = 0; at < version.size(); ++at) {
    if (!isSplitCharacter(version[at])) continue;
    components.emplace_back(version.substr(start, at - start));
    start = at + 1;
  }
  components.emplace_back(version.substr(start));
  return components;
}

bool Launcher::compareVersion(const std::optional<std::string>& constraint,
                              const std::vector<std::string>& versionList, bool max) {
  if (!constraint || constraint->empty()) return true;
  std::vector<std::string> limit = Launcher::versionList(*constraint);
  for (std::size_t i = 0; i < limit.size(); ++i) {
    std::int64_t x = i < versionList.size() ? componentValue(versionList[i]) : 0;
    std::int64_t y = componentValue(limit[i]);
    if (x == y) continue;
    return max ? x < y : x > y;
  }
  return true;
}

// Candidate checks ---------------------------------------------------------------------

std::optional<std::string> Launcher::getJavaMinVersion() {
  return platform::Bundle::mainBundle()->infoDictionary().getString(kMinVersionKey);
}

std::string architectureName(std::int32_t cpuType) {
  switch (cpuType) {
    case platform::kCpuTypeX86_64:
      return "x86_64";
    case platform::kCpuTypeArm64:
      return "arm64";
    case platform::kCpuTypeX86:
      return "i386";
    case platform::kCpuTypeArm:
      return "arm";
    default:
      return platform::format("CPU type %d", cpuType);
  }
}

bool Launcher::checkArchitecture(const platform::Bundle& bundle) {
  std::optional<std::vector<std::int32_t>> types = bundle.executableArchitectures();
  std::optional<platform::Value> list;
  if (types) {
    platform::Array entries;
    for (std::int32_t type : *types) entries.push_back(platform::Value::integer(type));
    list = platform::Value(std::move(entries));
  }
  _DLog("%s [Line %d] checking architectures %d %@", __PRETTY_FUNCTION__, __LINE__,
        platform::kRequiredCpuType, list);
  if (!types) {
    refusalReason = "no readable executable";
    return false;
  }
  if (std::find(types->begin(), types->end(), platform::kRequiredCpuType) != types->end()) return true;
  if (types->empty()) {
    refusalReason = "executable of an unknown kind";
  } else {
    std::string names;
    for (std::int32_t type : *types) names += (names.empty() ? "" : ", ") + architectureName(type);
    refusalReason = "built for " + names + " only";
  }
  return false;
}

namespace {

// A text value of the candidate's dictionary. A value of another type makes
// the candidate unreadable: wellFormed turns false.
std::optional<std::string> textValue(const platform::Value* value, bool& wellFormed) {
  if (!value) return std::nullopt;
  if (const std::string* text = value->asString()) return *text;
  wellFormed = false;
  return std::nullopt;
}

}  // namespace

const char* Launcher::checkJavaVersion(const std::optional<std::string>& minVersion,
                                       const std::optional<std::string>& maxVersion, bool allowBeta,
                                       bool plugin, const std::optional<std::string>& requiredVmPrefix) {
  const std::optional<std::string> none;
  refusalReason.clear();
  if (!javaBundle) return checkBundleVersion(minVersion, maxVersion, allowBeta, plugin, none, none, none);
  const platform::Bundle& bundle = *javaBundle;
  bool wellFormed = true;

  _DLog("%s [Line %d] identifier1 %@", __PRETTY_FUNCTION__, __LINE__, requiredVmPrefix);
  if (requiredVmPrefix && !requiredVmPrefix->empty()) {
    std::optional<std::string> identifier =
        textValue(bundle.objectForInfoDictionaryKey(kBundleIdentifierKey), wellFormed);
    if (identifier) {
      _DLog("%s [Line %d] identifier %@ %@", __PRETTY_FUNCTION__, __LINE__, identifier, requiredVmPrefix);
      if (!identifier->starts_with(*requiredVmPrefix)) {
        refusalReason =
            platform::format("identifier %@ does not start with %@", *identifier, *requiredVmPrefix);
        return nullptr;
      }
    }
  }

  const platform::Value* javaVM = bundle.objectForInfoDictionaryKey(kJavaVMKey);
  std::optional<std::string> bundleVersion =
      textValue(javaVM ? javaVM->get(kJVMVersionKey) : nullptr, wellFormed);
  if (!bundleVersion && plugin && wellFormed)
    bundleVersion = textValue(bundle.objectForInfoDictionaryKey(kBundleVersionKey), wellFormed);

  std::optional<std::string> evarVersion =
      textValue(bundle.objectForInfoDictionaryKey(kEvarVersionKey), wellFormed);
  std::optional<std::string> infoString =
      textValue(bundle.objectForInfoDictionaryKey(kInfoStringKey), wellFormed);

  if (!checkArchitecture(bundle)) return nullptr;
  if (!wellFormed) {
    // A dictionary whose version values are not texts cannot be judged.
    _DLog("%s [Line %d] version values are not texts %@", __PRETTY_FUNCTION__, __LINE__, bundle.bundlePath());
    bundleVersion.reset();
  }
  const char* launchVersion =
      checkBundleVersion(minVersion, maxVersion, allowBeta, plugin, bundleVersion, evarVersion, infoString);
  if (!wellFormed) refusalReason = "not a runtime: its version values are not texts";
  return launchVersion;
}

const char* Launcher::checkBundleVersion(const std::optional<std::string>& minVersion,
                                         const std::optional<std::string>& maxVersion, bool allowBeta,
                                         bool plugin, const std::optional<std::string>& bundleVersion,
                                         const std::optional<std::string>& evarVersion,
                                         const std::optional<std::string>& infoString) {
  const char* launchVersion = nullptr;
  refusalReason = "not a runtime";
  if (bundleVersion) {
    if (!allowBeta &&
        (isBetaVersion(bundleVersion) || isBetaVersion(evarVersion) || isBetaVersion(infoString))) {
      _DLog("%s [Line %d] beta not allowed %@", __PRETTY_FUNCTION__, __LINE__, bundleVersion);
      refusalReason = "pre-release";
    } else {
      std::vector<std::string> list = versionList(*bundleVersion);
      // The browser plug-in numbers its runtime 1.8.401.10 for 1.8.0_401.
      if (plugin && list.size() == 4 && list[0] == "1" && list[2] != "0")
        list = {list[0], list[1], "0", list[2]};
      _DLog("%s [Line %d] comparing3 %@ %@ %@ %@", __PRETTY_FUNCTION__, __LINE__, bundleVersion, list,
            minVersion, maxVersion);
      bool minOk = compareVersion(minVersion, list, false);
      bool maxOk = compareVersion(maxVersion, list, true);
      _DLog("%s [Line %d] comparing4 %d %d", __PRETTY_FUNCTION__, __LINE__, minOk ? 1 : 0, maxOk ? 1 : 0);
      if (!minOk) refusalReason = "below the minimum " + *minVersion;
      if (minOk && !maxOk) refusalReason = "above the maximum " + *maxVersion;
      if (minOk && maxOk) {
        std::int32_t major = platform::leadingInt32(list[0]);
        if (major == 1) major = list.size() > 1 ? platform::leadingInt32(list[1]) : 1;
        try {
          // Everything that can fail to allocate happens before the fields
          // change, so a failure leaves the Launcher as it was.
          std::string version = *bundleVersion;
          launchVersion = keepLaunchVersion(version.substr(0, version.find_first_of("_+")));
          javaVersion = std::move(version);
          javaMajorVersion = major;
        } catch (const std::bad_alloc&) {
          launchVersion = nullptr;
          refusalReason = "out of memory";
        }
      }
    }
  }
  if (launchVersion) refusalReason.clear();
  _DLog("%s [Line %d] check returned %s", __PRETTY_FUNCTION__, __LINE__, launchVersion);
  return launchVersion;
}
