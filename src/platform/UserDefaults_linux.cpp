// User defaults on Linux: property-list files under the XDG configuration
// directory, and the per-user store of the Java runtime's preferences.
#include "platform/UserDefaults.h"

#include <pugixml.hpp>

#include "platform/Bundle.h"
#include "platform/Environment.h"

namespace platform {

void UserDefaults::addSuiteNamed(const std::string& name) {
  for (const std::string& s : suites_)
    if (s == name) return;
  suites_.push_back(name);
}

std::string UserDefaults::homeDirectory() const {
  return homeDirectoryOverride ? *homeDirectoryOverride : platform::homeDirectory();
}

std::string UserDefaults::configDirectory() const {
  if (configDirectoryOverride) return *configDirectoryOverride;
  if (std::optional<std::string> xdg = getEnvironment("XDG_CONFIG_HOME"); xdg && !xdg->empty())
    return *xdg;
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

std::optional<Value> UserDefaults::dictionaryForKey(const std::string& key) const {
  std::optional<Value> v = objectForKey(key);
  if (v && v->asDictionary()) return v;
  return javaPreferencesNode(key);
}

std::optional<std::string> UserDefaults::javaPreferencesFileOf(const std::string& key) const {
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
  return homeDirectory() + "/.java/.userPrefs/" + node + "/prefs.xml";
}

std::optional<Value> UserDefaults::javaPreferencesNode(const std::string& key) const {
  std::optional<std::string> file = javaPreferencesFileOf(key);
  if (!file) return std::nullopt;
  pugi::xml_document doc;
  if (!doc.load_file(file->c_str())) return std::nullopt;
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
