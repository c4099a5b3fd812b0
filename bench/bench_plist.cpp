// Reading a typical Info.plist (as the bundle assembler writes it, and the
// same dictionary as a binary list): the program's readers against libplist
// with the conversion to Value that the program used before, side by side in
// one run. Prints the median time of one read and the ratio ours / libplist.
#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace {

using platform::Value;

const char kInfoPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleName</key>
  <string>Demo Installer</string>
  <key>CFBundleExecutable</key>
  <string>Demo Installer</string>
  <key>CFBundleIdentifier</key>
  <string>com.example.demo.installer</string>
  <key>CFBundlePackageType</key>
  <string>APPL</string>
  <key>CFBundleDevelopmentRegion</key>
  <string>en</string>
  <key>NSMainNibFile</key>
  <string>MainMenu</string>
  <key>qvr.baseDir</key>
  <string>$APP_PACKAGE/Contents/Resources</string>
  <key>qvr.initialProgress</key>
  <true/>
  <key>qvr.minVersion</key>
  <string>11</string>
  <key>qvr.maxVersion</key>
  <string>21</string>
  <key>qvr.jreLocation</key>
  <string>https://downloads.example.com/runtime/jre-17-linux-x64.tar.gz</string>
  <key>qvr.jreUncompressedSize</key>
  <integer>134217728</integer>
  <key>JavaVM</key>
  <dict>
    <key>MainClass</key>
    <string>com.example.installer.Main</string>
    <key>ClassPath</key>
    <string>$APP_PACKAGE/Contents/Resources/app/installer.jar:$APP_PACKAGE/Contents/Resources/app/lib.jar</string>
    <key>WorkingDirectory</key>
    <string>$APP_PACKAGE/Contents/Resources/app</string>
    <key>VMOptionArray</key>
    <array>
      <string>-Xmx512m</string>
      <string>-Dinstaller.log=$HOME/installer.log</string>
      <string>-Djava.awt.headless=false</string>
    </array>
    <key>ArgumentArray</key>
    <array>
      <string>--mode</string>
      <string>gui</string>
    </array>
  </dict>
</dict>
</plist>
)";

// The conversion of a libplist tree that the program used before.
std::optional<Value> fromNode(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value::boolean(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value::integer(static_cast<int64_t>(u));
    }
    case PLIST_STRING: {
      uint64_t len = 0;
      const char* s = plist_get_string_ptr(node, &len);
      return Value(std::string(s, len));
    }
    case PLIST_ARRAY: {
      platform::Array a;
      for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
        a.push_back(*fromNode(plist_array_get_item(node, i)));
      return Value(std::move(a));
    }
    case PLIST_DICT: {
      platform::Dictionary d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(node, it, &key, &val);
        if (!val) {
          std::free(key);
          break;
        }
        d.insert_or_assign(key, *fromNode(val));
        std::free(key);
      }
      std::free(it);
      return Value(std::move(d));
    }
    default:
      return std::nullopt;  // the sample holds no other type
  }
}

std::optional<Value> readWithLibplist(const std::string& bytes) {
  plist_t root = nullptr;
  const auto length = static_cast<uint32_t>(bytes.size());
  if (plist_is_binary(bytes.data(), length))
    plist_from_bin(bytes.data(), length, &root);
  else
    plist_from_xml(bytes.data(), length, &root);
  if (!root) return std::nullopt;
  auto v = fromNode(root);
  plist_free(root);
  return v;
}

// Median nanoseconds of one read, over rounds that alternate the two readers.
double medianNanoseconds(const std::function<void()>& read, std::vector<double>& samples) {
  constexpr int kReads = 2000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kReads; ++i) read();
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  samples.push_back(elapsed.count() / kReads);
  std::vector<double> sorted = samples;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  return sorted[sorted.size() / 2];
}

void compare(const char* what, const std::string& bytes) {
  const auto ours = Value::parse(bytes);
  const auto theirs = readWithLibplist(bytes);
  if (!ours || !theirs || !(*ours == *theirs)) {
    std::printf("%s: the readers disagree\n", what);
    return;
  }
  std::vector<double> ourSamples, theirSamples;
  double ourMedian = 0, theirMedian = 0;
  for (int round = 0; round < 31; ++round) {
    ourMedian = medianNanoseconds([&] { (void)Value::parse(bytes); }, ourSamples);
    theirMedian = medianNanoseconds([&] { (void)readWithLibplist(bytes); }, theirSamples);
  }
  std::printf("%-28s %6zu bytes  ours %8.2f us  libplist %8.2f us  ratio %.2fx\n", what, bytes.size(),
              ourMedian / 1000, theirMedian / 1000, ourMedian / theirMedian);
}

}  // namespace

int main() {
  const std::string xml = kInfoPlist;
  compare("Info.plist (XML)", xml);
  compare("Info.plist (binary)", Value::parse(xml)->toBinary());
  return 0;
}
