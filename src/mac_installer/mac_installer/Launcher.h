// The Launcher object: the state of one launch (the chosen runtime, its path
// and version) and the operations of configuration, runtime discovery, error
// dialogs, the argument file and the in-process start. Also the process-wide
// variables of the in-process start.
//
// A Launcher is used by one thread at a time (the worker, or the main thread
// in the invoke-other mode). The class-level operations keep no state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bundle.h"
#include "platform/FileManager.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "platform/Value.h"

// JLI_Launch of the runtime's launcher library: fourteen arguments.
using JLI_Launch_t = int (*)(int argc, char** argv, int jargc, const char** jargv, int appclassc,
                             const char** appclassv, const char* fullversion, const char* dotversion,
                             const char* pname, const char* lname, unsigned char javaargs,
                             unsigned char cpwildcard, unsigned char javaw, int ergo);

// Process-wide variables of the in-process start. They are final before the
// Java VM starts and are never freed.
extern std::int32_t argc;              // entries of argv
extern char** argv;                    // the vector handed to JLI_Launch
extern JLI_Launch_t JLI_LaunchFxnPtr;  // set once the library is loaded
extern const char* launchJavaVersion;  // version text passed to JLI_Launch

// The invoke-other entry, called by main with the process's own arguments.
int launcher_main(int count, char** arguments);

// When the runtime's launcher library has restarted this program in the
// middle of an in-process start, calls JLI_Launch again with the arguments
// the library passed (as a re-entry does) and gives its status; absent in
// every other start.
std::optional<int> resumeRestartedLaunch(int count, char** arguments);

// Message keys of the catalogue and texts of the front end.
inline constexpr std::string_view kAppleJavaMinVersionError = "AppleJavaMinVersionError";
inline constexpr std::string_view kInternalError = "marlet.InternalError";
inline constexpr std::string_view kDownloadJreError = "DownloadJreError";
inline constexpr std::string_view kNonWritablePackDir = "NonWritablePackDir";

// Information dictionary keys shared by several units.
inline constexpr std::string_view kJavaVMKey = "JavaVM";
inline constexpr std::string_view kBundleNameKey = "CFBundleName";
inline constexpr std::string_view kBaseDirKey = "qvr.baseDir";
inline constexpr std::string_view kMinVersionKey = "qvr.minVersion";
inline constexpr std::string_view kMaxVersionKey = "qvr.maxVersion";
inline constexpr std::string_view kVmIdPrefixKey = "qvr.vmIdPrefix";
inline constexpr std::string_view kAllowBetaKey = "qvr.allowBeta";
inline constexpr std::string_view kAppIdKey = "qvr.appId";
inline constexpr std::string_view kAllowPassthroughKey = "qvr.allowPassthrough";
inline constexpr std::string_view kInitialProgressKey = "qvr.initialProgress";
inline constexpr std::string_view kJreLocationKey = "qvr.jreLocation";
inline constexpr std::string_view kJreSha256Key = "qvr.jreSha256";
inline constexpr std::string_view kJreUncompressedSizeKey = "qvr.jreUncompressedSize";

// Keys of a candidate runtime's dictionary.
inline constexpr std::string_view kJVMVersionKey = "JVMVersion";  // in its JavaVM dictionary
inline constexpr std::string_view kBundleVersionKey = "CFBundleVersion";
inline constexpr std::string_view kEvarVersionKey = "EvarVersion";
inline constexpr std::string_view kInfoStringKey = "CFBundleGetInfoString";
inline constexpr std::string_view kBundleIdentifierKey = "CFBundleIdentifier";

// The text the information dictionary's "$APP_PACKAGE" stands for.
inline constexpr std::string_view kAppPackageVariable = "$APP_PACKAGE";

// The text with every "$APP_PACKAGE" replaced by the bundle path, in one
// left-to-right sweep (the inserted path is not searched again).
std::string replacingAppPackage(std::string text, const std::string& bundlePath);

// Runtime layout ----------------------------------------------------------------
// A runtime bundle keeps its home in "Contents/Home"; a runtime home may hold
// the runtime proper in a nested "jre", and holds the java the front end runs.
inline constexpr std::string_view kContentsHome = "Contents/Home";
inline constexpr std::string_view kJreDirectory = "jre";
inline constexpr std::string_view kJavaExecutable = "bin/java";
// The application's own runtime bundle: inside the application bundle
// (Resources first, then PlugIns), or below its base directory.
inline constexpr std::string_view kJreBundleName = "jre.bundle";
inline constexpr std::string_view kResourcesJreBundle = "Contents/Resources/jre.bundle";
inline constexpr std::string_view kPlugInsJreBundle = "Contents/PlugIns/jre.bundle";
inline constexpr std::string_view kBaseDirJreBundle = ".quorvane/jre.bundle";

// The launch version handed to JLI_Launch when no candidate check gave one:
// the plain runtime directory, and an in-process start whose runtime the
// check refused.
inline constexpr const char* kDefaultLaunchVersion = "1.7.0";

// The home of a runtime location: its "Contents/Home" when it has one,
// otherwise the location itself (a plain runtime directory).
std::string contentsHomeOf(const std::string& location, const platform::FileManager& fileManager);
// The runtime home of a location: contentsHomeOf, or the "jre" inside it
// when that exists.
std::string runtimeHomeOf(const std::string& location, const platform::FileManager& fileManager);
// The java of a runtime location: bin/java of its runtime home.
std::string javaExecutableOf(const std::string& location, const platform::FileManager& fileManager);

// The name of a Mach-O CPU type in reports: "x86_64", "arm64", ...
std::string architectureName(std::int32_t cpuType);

class Launcher {
 public:
  Launcher();
  // A new, initialised object; each call makes a new one.
  static std::shared_ptr<Launcher> launcher();

  // Fields -----------------------------------------------------------------
  std::shared_ptr<platform::Bundle> javaBundle;  // the chosen runtime bundle
  std::optional<std::string> javaBundlePath;     // absent: no runtime chosen
  std::optional<std::string> javaVersion;        // full version text
  std::int32_t javaMajorVersion = -1;
  bool pluginUsed = false;

  // Search roots, replaceable by tests.
  std::string internetPluginPath;
  std::string virtualMachinesDirectory;
  // The user defaults the installation registry and the locale are read
  // from; tests point them at their own directories.
  platform::UserDefaults userDefaults;

  // Makes a runtime installed from an archive in this run the chosen one and
  // judges it as the application's own runtime is (no constraints), so that
  // javaVersion and javaMajorVersion are known when it is accepted.
  void checkInstalledRuntime(const std::string& location);
  // Makes the runtime at location the chosen one and judges it with
  // kAnyVersion; its launch version (null when it is no runtime) goes into
  // launchJavaVersion.
  void takeRuntime(const std::string& location);

  // Argument file and in-process start --------------------------------------
  Launcher& load(const char* programPath, const char* argumentFilePath);  // load:fromArgumentFile:
  std::int32_t launch();

  // Error dialogs ------------------------------------------------------------
  static void displayError(std::string_view key);
  static void displayError(std::string_view key, const std::optional<std::string>& info);
  static void displayError(std::string_view key, const std::optional<std::string>& info1,
                           const std::optional<std::string>& info2);

  // Launch configuration ------------------------------------------------------
  void readJavaParameters(platform::FileManager& fileManager, std::vector<std::string>& options,
                          std::optional<std::string>& mainClass, std::vector<std::string>& args,
                          bool* firstThread);
  std::optional<std::string> addPredefinedOptions(const platform::Value* entries,
                                                  std::vector<std::string>& options,
                                                  const std::string& bundlePath,
                                                  std::optional<std::string> classPath);
  // Reads the options file name (absent: nothing); include is true for a file
  // named by an include, which counts towards the launch's limit of includes.
  std::optional<std::string> readOptionsFile(const std::optional<std::string>& name,
                                             std::vector<std::string>& options,
                                             std::optional<std::string> classPath,
                                             const std::string& bundlePath, bool include = false);
  std::optional<std::string> replaceVariables(const std::optional<std::string>& text);
  std::optional<std::string> resolveArtifactPath(const std::optional<std::string>& path);
  // Applies the first matching set of "VersionSpecificVMOptions".
  std::optional<std::string> addVersionSpecificOptions(const platform::Value* sets,
                                                       std::vector<std::string>& options,
                                                       const std::string& bundlePath,
                                                       std::optional<std::string> classPath);
  // The steps of readJavaParameters after the working directory, each on the
  // JavaVM dictionary (empty when absent). The options the settings name, in
  // order: the option array, the version-specific set, the options file
  // beside the bundle and "OptionsFile"; the class path they leave.
  std::optional<std::string> addConfiguredOptions(const platform::Value& javaVM,
                                                  std::vector<std::string>& options,
                                                  const std::string& bundlePath);
  // The options made from the settings: splash, class path, module path,
  // the dock options, the own bundle path.
  void addLaunchOptions(const platform::Value& info, const platform::Value& javaVM,
                        const std::optional<std::string>& classPath, std::vector<std::string>& options,
                        const std::string& bundlePath);
  // The argument array, then the command line ("-J" arguments become options
  // when passthrough is allowed).
  void addArguments(const platform::Value& info, const platform::Value& javaVM,
                    std::vector<std::string>& options, std::vector<std::string>& args);
  // The lines of one options file; directory holds the file (for relative includes).
  std::optional<std::string> readOptionsLines(std::string_view text, const std::string& directory,
                                              std::vector<std::string>& options,
                                              std::optional<std::string> classPath,
                                              const std::string& bundlePath);
  // The options files being read, outermost first (resolved paths), and the
  // includes this launch has followed.
  std::vector<std::string> optionsFileChain;
  int includesFollowed = 0;
  // Whether the dock options are passed to Java; tests cover both settings.
  bool passDockOptions = platform::kPassDockOptions;
  // The process arguments read by readJavaParameters (program path first);
  // absent: the process's own.
  std::optional<std::vector<std::string>> commandLineArguments;

  // Version strings -----------------------------------------------------------
  // Pure functions of their arguments; they touch no state of the object.
  // Class of a token by its first character: 0 digit, 1 other, 2 separator.
  int typeOfCharacter(std::string_view text);
  // The token list: runs of digits, runs of other characters, single separators.
  std::vector<std::string> splitVersionString(std::string_view version);
  // Token order of two version texts: -1, 0 or +1.
  int compareVersion(std::string_view version, std::string_view toVersion);
  std::string removeJrePrefix(std::string_view name);
  bool isBetaVersion(const std::optional<std::string>& version);
  // The version list: the components of a text cut at ".", "_", "-" and "+".
  static std::vector<std::string> versionList(std::string_view version);
  // Whether a version list satisfies a minimum (max false) or maximum (max
  // true) constraint; an absent or empty constraint is always satisfied.
  static bool compareVersion(const std::optional<std::string>& constraint,
                             const std::vector<std::string>& versionList, bool max);

  // Candidate checks ------------------------------------------------------------
  // Judge the runtime in javaBundle. The result is its launch version, null
  // when it is refused; the text stays valid until the process ends, so it can
  // be stored in launchJavaVersion as it is. On acceptance, and only then,
  // javaVersion and javaMajorVersion are set.
  const char* checkJavaVersion(const std::optional<std::string>& minVersion,
                               const std::optional<std::string>& maxVersion, bool allowBeta, bool plugin,
                               const std::optional<std::string>& requiredVmPrefix);
  const char* checkBundleVersion(const std::optional<std::string>& minVersion,
                                 const std::optional<std::string>& maxVersion, bool allowBeta, bool plugin,
                                 const std::optional<std::string>& bundleVersion,
                                 const std::optional<std::string>& evarVersion,
                                 const std::optional<std::string>& infoString);
  // True when the bundle's executable holds platform::kRequiredCpuType.
  bool checkArchitecture(const platform::Bundle& bundle);
  // "qvr.minVersion" of the application's dictionary; absent when not set.
  static std::optional<std::string> getJavaMinVersion();

  // Runtime search ----------------------------------------------------------------
  // The constraints a search reads for one call.
  struct SearchConstraints {
    std::optional<std::string> minVersion;
    std::optional<std::string> maxVersion;
    std::optional<std::string> requiredVmIdPrefix;
    bool allowBeta = false;
  };
  // The application's own runtime, and the one an argument file names, is
  // taken whatever its version says: no constraints, pre-releases allowed.
  static inline const SearchConstraints kAnyVersion{std::nullopt, std::nullopt, std::nullopt, true};
  // The public search (false: own runtime, then the search sequence or the
  // standard locations) or the registry search (true). The result is the
  // chosen runtime's location, also kept in javaBundlePath, with its launch
  // version in launchJavaVersion; absent when nothing fits. A failed
  // unpacking of the own runtime shows a dialog and ends the process with 1.
  std::optional<std::string> findJavaBundle(bool registry);
  // The runtime in a directory of the search sequence (variables replaced).
  void findDirectoryJavaBundle(const std::optional<std::string>& directory,
                               platform::FileManager& fileManager, const SearchConstraints& constraints);
  // The standard locations: the browser plug-in, then (with javaHomeFirst)
  // the runtime named by JAVA_HOME, the virtual-machines directory highest
  // version first, and the home of the java on PATH. Each runtime directory
  // is checked once, however many entries name it.
  void findPublicJavaBundle(platform::FileManager& fileManager, const std::optional<std::string>& minVersion,
                            const std::optional<std::string>& maxVersion,
                            const std::optional<std::string>& requiredVmIdPrefix, bool allowBeta,
                            bool javaHomeFirst = false);

  // The steps of findJavaBundle, with the constraints read for one call.
  std::optional<std::string> searchRegistry(platform::FileManager& fileManager, const platform::Value& info,
                                            const SearchConstraints& constraints);
  // True when an own runtime was found (javaBundle, or the plain directory's
  // launch version); the search then ends with it.
  bool findOwnRuntime(platform::FileManager& fileManager, const platform::Value& info,
                      const std::string& bundlePath);
  void runOwnRuntime(platform::FileManager& fileManager);
  void searchSequence(platform::FileManager& fileManager, const platform::Value& info,
                      const SearchConstraints& constraints);
  // Judges the candidate in javaBundle at javaBundlePath: refused when its
  // runtime home has no executable bin/java, else by checkJavaVersion. A
  // refusal is logged and kept for the failure report. The launch version,
  // or null.
  const char* checkCandidate(platform::FileManager& fileManager, const std::string& path,
                             const SearchConstraints& constraints, bool plugin);
  // The steps of the standard locations after the plug-in. Each returns true
  // when its candidate was chosen; checked holds the runtime directories
  // already judged in this search.
  bool findJavaHomeBundle(platform::FileManager& fileManager, const SearchConstraints& constraints,
                          std::set<platform::FileIdentity>& checked);
  bool findInstalledJavaBundle(platform::FileManager& fileManager, const SearchConstraints& constraints,
                               std::set<platform::FileIdentity>& checked);
  bool findPathJavaBundle(platform::FileManager& fileManager, const SearchConstraints& constraints,
                          std::set<platform::FileIdentity>& checked);
  // Judges one standard-locations candidate (bundle: already opened, with
  // its identity; or null, and both are found here).
  bool tryStandardCandidate(platform::FileManager& fileManager, const std::string& path,
                            std::shared_ptr<platform::Bundle> bundle,
                            std::optional<platform::FileIdentity> identity,
                            const SearchConstraints& constraints, std::set<platform::FileIdentity>& checked);

  // Failure report ------------------------------------------------------------------
  // What the searches of this object looked at, for the report written when
  // no runtime is found.
  struct SearchReport {
    struct Refusal {
      std::string path;
      std::optional<std::string> version;  // as read from the candidate
      std::string noVersion;               // why there is none, when absent
      std::string reason;                  // why the candidate was refused
    };
    SearchConstraints constraints;  // of the last search
    std::vector<Refusal> refused;   // in the order looked at, each path once
    std::set<std::string> refusedPaths;
    std::vector<std::string> nothing;  // places that held nothing: "what: why"
  };
  SearchReport searchReport;
  // Why the last check refused its candidate, in words.
  std::string refusalReason;
  // Records a place that held nothing ("/opt/java: does not exist").
  void noteEmptyPlace(const std::string& place);
  // The report's text: the constraints, one line per refused candidate, the
  // places that held nothing, and how to get the full trace.
  std::string searchReportText() const;
  // Writes searchReportText() to standard error.
  void writeSearchReport() const;
  // No runtime fits: writes the report and shows "AppleJavaMinVersionError"
  // with the minimum version and the application's name.
  void reportMissingRuntime() const;
  // The version a candidate carries (JavaVM/JVMVersion, or CFBundleVersion
  // of the plug-in), absent when it carries none as a text.
  static std::optional<std::string> candidateVersion(const platform::Bundle& bundle, bool plugin);
};
