// The Launcher object, the invoke-other entry, the error dialogs, the argument-file
// intake and the in-process start through the runtime's launcher library.
#include "mac_installer/Launcher.h"

#include <cstring>

#include "mac_installer/global.h"
#include "platform/DynamicLibrary.h"
#include "platform/Environment.h"
#include "platform/Exception.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/Notice.h"
#include "platform/Paths.h"
#include "platform/RuntimeLibrary.h"
#include "platform/Text.h"

std::int32_t argc = 0;
char** argv = nullptr;
JLI_Launch_t JLI_LaunchFxnPtr = nullptr;
const char* launchJavaVersion = nullptr;

// Launcher object ------------------------------------------------------------

Launcher::Launcher()
    : internetPluginPath(platform::kInternetPluginPath),
      virtualMachinesDirectory(platform::kVirtualMachinesDirectory) {}

std::shared_ptr<Launcher> Launcher::launcher() { return std::make_shared<Launcher>(); }

// Runtime layout ----------------------------------------------------------------

std::string contentsHomeOf(const std::string& location, const platform::FileManager& fileManager) {
  std::string home = platform::joinPath(location, std::string(kContentsHome));
  return fileManager.fileExists(home) ? home : location;
}

std::string runtimeHomeOf(const std::string& location, const platform::FileManager& fileManager) {
  std::string home = contentsHomeOf(location, fileManager);
  std::string jre = platform::joinPath(home, std::string(kJreDirectory));
  return fileManager.fileExists(jre) ? jre : home;
}

std::string javaExecutableOf(const std::string& location, const platform::FileManager& fileManager) {
  return platform::joinPath(runtimeHomeOf(location, fileManager), std::string(kJavaExecutable));
}

void Launcher::takeRuntime(const std::string& location) {
  javaBundlePath = location;
  javaBundle = platform::Bundle::open(location);
  launchJavaVersion = checkJavaVersion(kAnyVersion.minVersion, kAnyVersion.maxVersion, kAnyVersion.allowBeta,
                                       false, kAnyVersion.requiredVmIdPrefix);
}

void Launcher::checkInstalledRuntime(const std::string& location) {
  takeRuntime(location);
  _DLog("%s [Line %d] installed runtime %@ version %@ major %d", __PRETTY_FUNCTION__, __LINE__, location,
        javaVersion, javaMajorVersion);
}

// Invoke-other entry -----------------------------------------------------------

namespace {

// Calls JLI_Launch as the plain java command would be: the program and
// launcher name "java", no built-in Java arguments or application classes,
// launchJavaVersion as both version texts, no options of the library's own.
int callLaunchFunction(int count, char** arguments) {
  return JLI_LaunchFxnPtr(count, arguments, 0, nullptr, 0, nullptr, launchJavaVersion, launchJavaVersion,
                          "java", "java", 0, 0, 0, 0);
}

}  // namespace

int launcher_main(int count, char** arguments) {
  _DLog("%s [Line %d] launcher_main %d", __PRETTY_FUNCTION__, __LINE__, count);
  // Re-entry from the runtime library: hand its own vector straight back.
  if (JLI_LaunchFxnPtr) return callLaunchFunction(count, arguments);
  int status = 1;
  try {
    _DLog("%s [Line %d] invoke other %s", __PRETTY_FUNCTION__, __LINE__, arguments[2]);
    std::shared_ptr<Launcher> launcher = Launcher::launcher();
    launcher->load(arguments[0], arguments[2]);
    status = launcher->launch();
  } catch (const platform::Exception& e) {
    platform::log("%s [Line %d] %@: %@", __PRETTY_FUNCTION__, __LINE__, e, e.callStackSymbols());
    Launcher::displayError(kInternalError, e.description());
    status = 1;
  }
  return status;
}

// Error dialogs -----------------------------------------------------------------

void Launcher::displayError(std::string_view key) { displayError(key, std::nullopt, std::nullopt); }

void Launcher::displayError(std::string_view key, const std::optional<std::string>& info) {
  displayError(key, info, std::nullopt);
}

void Launcher::displayError(std::string_view key, const std::optional<std::string>& info1,
                            const std::optional<std::string>& info2) {
  std::shared_ptr<platform::Bundle> app = platform::Bundle::mainBundle();
  const platform::Value& info = app->infoDictionary();
  std::optional<std::string> title = info.getString(kBundleNameKey);
  std::optional<std::string> baseDir = info.getString(kBaseDirKey);

  std::shared_ptr<platform::Bundle> catalogue = app;
  if (baseDir) {
    std::string dir = replacingAppPackage(*baseDir, app->bundlePath());
    catalogue = platform::Bundle::open(platform::joinPath(dir, ".quorvane/Messages.bundle"));
  }
  if (!catalogue) {
    platform::log("%s [Line %d] message %@ not found", __PRETTY_FUNCTION__, __LINE__, key);
    return;
  }
  std::string text = catalogue->localizedString(std::string(key));

  std::string message;
  if (info1 && info2)
    message = platform::format(text, *info1, *info2);
  else if (info1)
    message = platform::format(text, *info1);
  else
    message = text;
  platform::showNotice(title, message);
}

// In-process start ----------------------------------------------------------------

namespace {

// Where a runtime directory keeps its launcher library, most specific first:
// the home inside a runtime bundle (with a nested jre, a separate jli
// directory, or neither), then a plain runtime home with a jli directory.
constexpr std::string_view kLibraryDirectories[] = {"Contents/Home/jre/lib/jli", "Contents/Home/lib/jli",
                                                    "Contents/Home/lib", "lib/jli"};
// Taken without a test when none of the above exists; loading reports the failure.
constexpr std::string_view kFallbackLibraryDirectory = "lib";

constexpr const char* kJavaLaunchError = "JavaLaunchError";

// The launcher library's argument list. Only its first two fields are read;
// the rest of the record belongs to the library.
struct JliList {
  char** elements;
  std::size_t size;
};

struct ListFunctions {
  JliList* (*listNew)(std::size_t capacity) = nullptr;
  void (*listAdd)(JliList* list, char* string) = nullptr;
  void (*initArgProcessing)(unsigned char hasJavaArgs, unsigned char disableArgFile) = nullptr;
  JliList* (*preprocessArg)(const char* argument, unsigned char expandSourceOption) = nullptr;
  char* (*stringDup)(const char* string) = nullptr;
  void (*memFree)(void* pointer) = nullptr;

  bool complete() const {
    return listNew && listAdd && initArgProcessing && preprocessArg && stringDup && memFree;
  }
};

// Loads the launcher library and resolves JLI_Launch into JLI_LaunchFxnPtr;
// raises "JavaLaunchError" when the library cannot be loaded or has no
// JLI_Launch. The library is handed back for further look-ups.
platform::DynamicLibrary loadLaunchFunction(const std::string& path) {
  std::string reason;
  platform::DynamicLibrary library = platform::DynamicLibrary::open(path, &reason);
  if (!library) {
    _DLog("%s [Line %d] dlopen failed %s", __PRETTY_FUNCTION__, __LINE__, reason);
    throw platform::Exception(kJavaLaunchError, "Could not load JRE.");
  }
  library.resolve("JLI_Launch", JLI_LaunchFxnPtr, nullptr);
  if (!JLI_LaunchFxnPtr)
    throw platform::Exception(kJavaLaunchError, "Could not get function pointer for JLI_Launch.");
  return library;
}

// A Linux runtime library restarts the executable with the Java arguments
// alone (to change LD_LIBRARY_PATH before it loads the VM). The restarted
// process finds this record first: this process's id (a restart keeps it, a
// child does not), the version text and the library path.
constexpr const char* kRestartRecordVariable = "QUORVANE_RUNTIME_LIBRARY";

void recordForRestart(const std::string& libraryPath) {
  if (!platform::runtimeLibraryMayRestart()) return;
  std::string version = launchJavaVersion;
  // The record's fields are separated by ":"; a version that holds one is
  // left out (the restart then passes the default).
  if (version.find(':') != std::string::npos) version.clear();
  platform::setEnvironment(kRestartRecordVariable,
                           std::to_string(platform::processIdentifier()) + ":" + version + ":" + libraryPath);
}

std::string jliLibraryPath(const std::string& runtimePath) {
  platform::FileManager fileManager;
  const std::string name(platform::kJliLibraryName);
  for (std::string_view directory : kLibraryDirectories) {
    std::string candidate = platform::joinPath(runtimePath, std::string(directory) + "/" + name);
    if (fileManager.fileExists(candidate)) return candidate;
  }
  return platform::joinPath(runtimePath, std::string(kFallbackLibraryDirectory) + "/" + name);
}

// Rewrites argc/argv with the runtime's own "@" argument-file expansion, so
// the Java launcher sees the same arguments as from its own command line.
void expandArgumentFiles(const ListFunctions& list) {
  bool found = false;
  for (std::int32_t i = 0; i < argc && !found; ++i) found = argv[i][0] == '@';
  if (!found) return;
  _DLog("%s [Line %d] @ argument found", __PRETTY_FUNCTION__, __LINE__);
  if (!list.complete()) {
    _DLog("%s [Line %d] did not find all list functions %p %p %p %p %p %p", __PRETTY_FUNCTION__, __LINE__,
          list.listNew, list.listAdd, list.initArgProcessing, list.preprocessArg, list.stringDup,
          list.memFree);
    return;
  }
  // No built-in Java arguments are passed to JLI_Launch, so the library is set
  // up as for the plain java command: it expands "@" entries up to the main
  // class and leaves the application's own arguments alone. (Set up as a tool
  // with built-in arguments, it would read an application argument such as
  // "@name" as a file and end the process when there is none.)
  list.initArgProcessing(false, false);
  JliList* expanded = list.listNew(static_cast<std::size_t>(argc) + 1);
  list.listAdd(expanded, list.stringDup(argv[0]));
  for (std::int32_t j = 1; j < argc; ++j) {
    if (JliList* replacement = list.preprocessArg(argv[j], true)) {
      // The replacement strings move into the new list; only their holder is freed.
      for (std::size_t k = 0; k < replacement->size; ++k) list.listAdd(expanded, replacement->elements[k]);
      list.memFree(replacement->elements);
      list.memFree(replacement);
    } else {
      list.listAdd(expanded, list.stringDup(argv[j]));
    }
  }
  argc = static_cast<std::int32_t>(expanded->size);
  list.listAdd(expanded, nullptr);
  // The previous vector stays allocated: a re-entry may still hold it.
  argv = expanded->elements;
}

}  // namespace

std::int32_t Launcher::launch() {
  if (!javaBundlePath) {
    _DLog("%s [Line %d] no suitable JRE found.", __PRETTY_FUNCTION__, __LINE__);
    reportMissingRuntime();
    return 1;
  }

  const std::string path = jliLibraryPath(*javaBundlePath);
  _DLog("%s [Line %d] load library %@.", __PRETTY_FUNCTION__, __LINE__, path);
  // A missing function leaves its pointer null; each is checked where used.
  platform::DynamicLibrary library = loadLaunchFunction(path);
  ListFunctions list;
  library.resolve("JLI_List_new", list.listNew, nullptr);
  library.resolve("JLI_List_add", list.listAdd, nullptr);
  library.resolve("JLI_InitArgProcessing", list.initArgProcessing, nullptr);
  library.resolve("JLI_PreprocessArg", list.preprocessArg, nullptr);
  library.resolve("JLI_StringDup", list.stringDup, nullptr);
  library.resolve("JLI_MemFree", list.memFree, nullptr);
  // The library must stay loaded for the rest of the process: JLI_Launch runs
  // the Java application out of it, and a re-entry calls JLI_LaunchFxnPtr again.
  library.keepLoaded();

  expandArgumentFiles(list);
  platform::prepareForRuntimeLibrary(path);

  _DLog("%s [Line %d] launching %p %d", __PRETTY_FUNCTION__, __LINE__, JLI_LaunchFxnPtr, argc);
  for (std::int32_t i = 0; i < argc; ++i)
    _DLog("%s [Line %d] arg %s", __PRETTY_FUNCTION__, __LINE__, argv[i]);

  // Set process-wide so that a re-entry passes the same version.
  if (!launchJavaVersion) launchJavaVersion = kDefaultLaunchVersion;
  recordForRestart(path);
  // The runtime may enter main again from another thread during this call; it
  // then reaches JLI_LaunchFxnPtr through launcher_main's re-entry shortcut.
  return callLaunchFunction(argc, argv);
}

std::optional<int> resumeRestartedLaunch(int count, char** arguments) {
  std::optional<std::string> record = platform::getEnvironment(kRestartRecordVariable);
  if (!record) return std::nullopt;
  // Gone before anything else runs: neither Java nor its children see it.
  platform::unsetEnvironment(kRestartRecordVariable);
  std::size_t versionStart = record->find(':');
  std::size_t pathStart =
      versionStart == std::string::npos ? versionStart : record->find(':', versionStart + 1);
  // A record inherited from another process (this program started by a Java
  // application, say) is not this process's restart.
  if (pathStart == std::string::npos ||
      record->substr(0, versionStart) != std::to_string(platform::processIdentifier()))
    return std::nullopt;
  const std::string version = record->substr(versionStart + 1, pathStart - versionStart - 1);
  const std::string path = record->substr(pathStart + 1);
  _DLog("%s [Line %d] restarted by the runtime library %@ %d", __PRETTY_FUNCTION__, __LINE__, path, count);
  try {
    platform::DynamicLibrary library = loadLaunchFunction(path);
    // JLI_Launch runs the Java application out of the library.
    library.keepLoaded();
  } catch (const platform::Exception& e) {
    platform::log("%s [Line %d] %@: %@", __PRETTY_FUNCTION__, __LINE__, e, e.callStackSymbols());
    Launcher::displayError(kInternalError, e.description());
    return 1;
  }
  // Kept until the process ends, as the runtime may read it at any time.
  static const std::string kept = version;
  launchJavaVersion = kept.empty() ? kDefaultLaunchVersion : kept.c_str();
  return callLaunchFunction(count, arguments);
}

// Argument-file intake ----------------------------------------------------------------

Launcher& Launcher::load(const char* programPath, const char* argumentFilePath) {
  platform::FileManager fileManager;
  std::optional<std::string> content = fileManager.contentsAtPath(argumentFilePath);
  if (content && !platform::isValidUtf8(*content)) content.reset();
  // The file is consumed whatever it held. Only a file or link is removed:
  // a directory named by mistake is left alone.
  fileManager.removeFile(argumentFilePath);

  // The runtime named here is taken whatever its version; the report says so.
  searchReport.constraints = kAnyVersion;
  std::vector<std::string> lines;
  if (content) {
    // Lines at line feeds only: a carriage return or a blank belongs to its
    // argument, and a final line feed leaves a final empty argument. A
    // byte-order mark of an editor is not part of the runtime path.
    for (std::string_view line : platform::piecesBetween(platform::withoutByteOrderMark(*content), '\n'))
      lines.emplace_back(line);
    _DLog("%s [Line %d] invoke other arguments %@", __PRETTY_FUNCTION__, __LINE__, lines);
  } else {
    _DLog("%s [Line %d] invoke other arguments %@", __PRETTY_FUNCTION__, __LINE__,
          static_cast<const platform::Value*>(nullptr));
  }
  if (lines.size() < 2) {
    noteEmptyPlace(
        platform::format(content ? "argument file %s: names no runtime" : "argument file %s: cannot be read",
                         argumentFilePath));
    return *this;
  }

  takeRuntime(lines[0]);
  _DLog("%s [Line %d] java bundle %s %p", __PRETTY_FUNCTION__, __LINE__, launchJavaVersion,
        static_cast<const void*>(javaBundle.get()));

  // Owned for the rest of the process: the runtime keeps pointers into it.
  char** vector = new char*[lines.size() + 1];
  std::int32_t count = 0;
  vector[count++] = ::strdup(programPath);
  for (std::size_t i = 1; i < lines.size(); ++i) vector[count++] = ::strdup(lines[i].c_str());
  vector[count] = nullptr;
  argv = vector;
  argc = count;
  return *this;
}
