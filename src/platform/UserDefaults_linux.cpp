// User defaults on Linux: property-list files under the XDG configuration
// directory, and the per-user store of the Java runtime's preferences.
#include <pwd.h>
#include <unistd.h>

#include <pugixml.hpp>

#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/UserDefaults.h"

namespace platform {

namespace {

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

void UserDefaults::addSuiteNamed(const std::string& name) {
  for (const std::string& s : suites_)
    if (s == name) return;
  suites_.push_back(name);
}

std::string UserDefaults::homeDirectory() const {
  return homeDirectoryOverride ? *homeDirectoryOverride : platform::homeDirectory();
}

std::string UserDefaults::userHomeDirectory() const {
  if (userHomeDirectoryOverride) return *userHomeDirectoryOverride;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return homeDirectory();
}

std::vector<std::string> UserDefaults::javaPreferencesHomes() const {
  std::vector<std::string> homes = {withoutTrailingSlashes(userHomeDirectory())};
  std::string home = withoutTrailingSlashes(homeDirectory());
  FileManager fileManager;
  std::optional<FileIdentity> first = fileManager.identityOf(homes.front());
  bool same = home == homes.front() || (first && first == fileManager.identityOf(home));
  if (!same && !home.empty()) homes.push_back(home);
  return homes;
}

std::string UserDefaults::configDirectory() const {
  if (configDirectoryOverride) return *configDirectoryOverride;
  if (std::optional<std::string> xdg = getEnvironment("XDG_CONFIG_HOME"); xdg && !xdg->empty()) return *xdg;
  return homeDirectory() + "/.config";
}

std::string UserDefaults::pathOfDomain(const std::string& domain) const {
  return configDirectory() + "/" + domain + ".plist";
}

std::vector<std::string> UserDefaults::searchList() const {
  std::vector<std::string> domains;
  if (std::optional<std::string> id = Bundle::mainBundle()->identifier(); id && !id->empty())
    domains.push_back(*id);
  domains.insert(domains.end(), suites_.begin(), suites_.end());
  domains.emplace_back(kGlobalDomain);
  return domains;
}

std::optional<Value> UserDefaults::objectForKey(const std::string& key) const {
  for (const std::string& domain : searchList()) {
    // A domain name with a "/" would reach outside the configuration directory.
    if (domain.find('/') != std::string::npos) continue;
    std::optional<Value> plist = Value::readFile(pathOfDomain(domain));
    if (!plist) continue;
    if (const Value* v = plist->get(key)) return *v;
  }
  return std::nullopt;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  std::optional<Value> v = objectForKey(key);
  if (!v || !v->isString()) return std::nullopt;
  return *v->asString();
}

std::optional<Value> UserDefaults::domainDictionaryForKey(const std::string& key) const {
  std::optional<Value> v = objectForKey(key);
  if (v && v->asDictionary()) return v;
  return std::nullopt;
}

std::optional<Value> UserDefaults::dictionaryForKey(const std::string& key) const {
  if (std::optional<Value> v = domainDictionaryForKey(key)) return v;
  for (const std::string& home : javaPreferencesHomes())
    if (std::optional<std::string> file = javaPreferencesFileOf(key, home))
      if (std::optional<Value> node = javaPreferencesNode(*file)) return node;
  return std::nullopt;
}

std::vector<Value> UserDefaults::dictionariesForKey(const std::string& key) const {
  std::vector<Value> found;
  if (std::optional<Value> v = domainDictionaryForKey(key)) found.push_back(std::move(*v));
  for (const std::string& home : javaPreferencesHomes())
    if (std::optional<std::string> file = javaPreferencesFileOf(key, home))
      if (std::optional<Value> node = javaPreferencesNode(*file)) found.push_back(std::move(*node));
  return found;
}

std::optional<std::string> UserDefaults::javaPreferencesFileOf(const std::string& key,
                                                               std::optional<std::string> home) const {
  // A node path is absolute and names at least one node; "." and ".." would
  // leave the store, and an empty name between two "/" is no node.
  if (key.size() < 2 || key.front() != '/') return std::nullopt;
  std::string node = key.substr(1);
  if (node.back() == '/') node.pop_back();
  size_t start = 0;
  while (start <= node.size()) {
    size_t end = node.find('/', start);
    if (end == std::string::npos) end = node.size();
    std::string part = node.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    start = end + 1;
  }
  if (!home) home = javaPreferencesHomes().front();
  return *home + "/.java/.userPrefs/" + node + "/prefs.xml";
}

std::optional<Value> UserDefaults::javaPreferencesNode(const std::string& file) const {
  std::optional<std::string> text = FileManager().contentsOfRegularFile(file);
  if (!text) return std::nullopt;
  pugi::xml_document doc;
  if (!doc.load_buffer(text->data(), text->size())) return std::nullopt;
  pugi::xml_node map = doc.child("map");
  if (!map) return std::nullopt;
  Dictionary entries;
  for (pugi::xml_node entry : map.children("entry")) {
    pugi::xml_attribute k = entry.attribute("key");
    if (!k) continue;
    entries[k.value()] = Value(std::string(entry.attribute("value").value()));
  }
  return Value(std::move(entries));
}

}  // namespace platform
