// User defaults with suites: read-only lookups of the user's settings by key.
// A lookup searches the application's domain (the main bundle's identifier),
// then each added suite in the order added, then the global domain. Domains
// are property-list files read afresh at every lookup. A key that is a Java
// preferences node path ("/a/b/c/") is also looked up in the store that the
// Java runtime's preferences write for the user: under the user's home from
// the password database (Java's user.home), and under $HOME when that is
// another directory. Nothing is ever written.
// An object is used by one thread at a time; unreadable or malformed files
// are treated as empty domains, never as errors.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace platform {

class UserDefaults {
 public:
  UserDefaults() = default;

  // Adds a domain searched after the application's own, before the global one.
  void addSuiteNamed(const std::string& name);

  // The value under key in the first domain that has it; absent when none has.
  std::optional<Value> objectForKey(const std::string& key) const;
  // The value under key when it is a string.
  std::optional<std::string> stringForKey(const std::string& key) const;
  // The value under key when it is a dictionary. For a Java preferences node
  // path the node's entries (key to string value) are the dictionary when no
  // domain holds the key.
  std::optional<Value> dictionaryForKey(const std::string& key) const;
  // Every dictionary under key, in lookup order: the first domain's that has
  // one, then, for a Java preferences node path, the node of each Java store
  // that holds it.
  std::vector<Value> dictionariesForKey(const std::string& key) const;

  // Directory of the domain files: $XDG_CONFIG_HOME, else <home>/.config.
  std::string configDirectory() const;
  // The home directory: $HOME, else the password database's.
  std::string homeDirectory() const;
  // The user's home in the password database, where the Java runtime keeps
  // its preferences whatever $HOME says.
  std::string userHomeDirectory() const;
  // The homes whose Java preferences store is read, in order: the password
  // database's, then $HOME's when that is another directory.
  std::vector<std::string> javaPreferencesHomes() const;
  // Tests point the object at their own directories; absent uses the default.
  std::optional<std::string> configDirectoryOverride;
  std::optional<std::string> homeDirectoryOverride;
  std::optional<std::string> userHomeDirectoryOverride;

  // The file of a domain: <config>/<domain>.plist; the global domain's file is
  // .GlobalPreferences.plist.
  std::string pathOfDomain(const std::string& domain) const;
  // The node file of a Java preferences path under home (default: the first
  // of javaPreferencesHomes()): <home>/.java/.userPrefs/<node>/prefs.xml;
  // absent when key is not a node path.
  std::optional<std::string> javaPreferencesFileOf(const std::string& key,
                                                   std::optional<std::string> home = std::nullopt) const;

  // Name of the global domain.
  static constexpr const char* kGlobalDomain = ".GlobalPreferences";

 private:
  std::vector<std::string> searchList() const;
  std::optional<Value> domainDictionaryForKey(const std::string& key) const;
  std::optional<Value> javaPreferencesNode(const std::string& file) const;

  std::vector<std::string> suites_;
};

}  // namespace platform
