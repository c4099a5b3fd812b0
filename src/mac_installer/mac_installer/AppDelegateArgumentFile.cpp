// The Java child's command line within the system's limits: arguments that
// do not fit are handed over in a Java argument file ("@file").
#include <string>

#include "mac_installer/AppDelegate.h"
#include "mac_installer/global.h"
#include "platform/Exception.h"
#include "platform/Paths.h"
#include "platform/Task.h"

namespace {

constexpr const char* kArgumentFileName = "java-arguments";
// Argument files are read by the Java launcher from this major version on.
constexpr std::int32_t kArgumentFileMajorVersion = 9;
// The argument file is taken a little before the limit itself: the child's
// environment may still grow, and the runtime's launcher may add to it when
// it restarts itself.
constexpr std::size_t kCommandLineReserve = 32 * 1024;

}  // namespace

std::string AppDelegate::javaArgumentFileText(const std::vector<std::string>& arguments) {
  // One argument a line, in double quotes. Inside quotes the launcher ends an
  // argument at a line feed or carriage return, and reads a backslash as an
  // escape ("\n", "\r", or the next character itself); blanks, tabs, "#",
  // "@" and single quotes are plain text there.
  std::string text;
  for (const std::string& argument : arguments) {
    text += '"';
    for (char c : argument) {
      switch (c) {
        case '\\':
          text += "\\\\";
          break;
        case '"':
          text += "\\\"";
          break;
        case '\n':
          text += "\\n";
          break;
        case '\r':
          text += "\\r";
          break;
        default:
          text += c;
      }
    }
    text += "\"\n";
  }
  return text;
}

std::optional<std::string> AppDelegate::commandLineExcess(const std::vector<std::string>& arguments,
                                                          std::size_t commandLineSize, std::size_t space) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i].size() > platform::kMaxArgumentLength)
      return "argument " + std::to_string(i + 1) + " of the Java command line is " +
             std::to_string(arguments[i].size()) + " bytes long, and the system passes at most " +
             std::to_string(platform::kMaxArgumentLength) + " bytes in one argument";
  }
  if (commandLineSize > space)
    return "the Java command line and the environment take " + std::to_string(commandLineSize) +
           " bytes, and the system passes at most " + std::to_string(space) + " bytes";
  return std::nullopt;
}

std::vector<std::string> AppDelegate::fitCommandLine(const std::string& java,
                                                     std::vector<std::string> arguments,
                                                     std::int32_t javaMajorVersion,
                                                     platform::FileManager& fileManager) {
  const std::size_t size = platform::Task::commandLineSize(java, arguments);
  const std::size_t space = platform::Task::commandLineSpace();
  if (javaMajorVersion < kArgumentFileMajorVersion) {
    // Such a runtime has no argument files: only a command line that cannot
    // be passed at all is refused.
    if (std::optional<std::string> excess = commandLineExcess(arguments, size, space)) {
      std::string version =
          javaMajorVersion > 0 ? "Java " + std::to_string(javaMajorVersion) : "a runtime of unknown version";
      throw platform::Exception(platform::kInvalidArgumentException,
                                *excess + "; " + version + " cannot read its arguments from a file (Java " +
                                    std::to_string(kArgumentFileMajorVersion) + " or later can)");
    }
    return arguments;
  }
  if (!commandLineExcess(arguments, size + kCommandLineReserve, space)) return arguments;

  const std::string file = platform::joinPath(ensureTemporaryDirectory(fileManager), kArgumentFileName);
  std::string error;
  if (!fileManager.createFile(file, javaArgumentFileText(arguments), &error))
    throw platform::Exception(platform::kInternalInconsistencyException,
                              "cannot write the Java arguments: " + error);
  _DLog("%s [Line %d] %d arguments (%d bytes with the environment) passed in %@", __PRETTY_FUNCTION__,
        __LINE__, arguments.size(), size, file);
  return {"@" + file};
}
