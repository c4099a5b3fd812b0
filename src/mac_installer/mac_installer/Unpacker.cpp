// Packed-jar unpacking with the runtime's own unpack tool.
#include "mac_installer/Unpacker.h"

#include "mac_installer/global.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Task.h"

namespace {

constexpr std::string_view kPackedSuffix = ".jar.pack";
constexpr std::string_view kPackSuffix = ".pack";
constexpr const char* kUnpackTool = "bin/unpack200";
constexpr const char* kLibDirectory = "lib";
constexpr const char* kExtDirectory = "lib/ext";
// Makes the tool delete the packed file once the jar is written.
constexpr const char* kRemoveInputOption = "-r";

// Runs the tool on one packed file and waits for it; true on exit status 0.
bool runUnpackTool(const std::string& tool, const std::string& packed, const std::string& jar) {
  platform::Task task;
  task.setLaunchPath(tool);
  task.setArguments({kRemoveInputOption, packed, jar});
  task.launch();
  task.waitUntilExit();
  return task.terminationStatus() == 0;
}

}  // namespace

void Unpacker::addPackedFiles(std::vector<std::string>& list, const std::string& subDir,
                              const std::string& jreDir, const platform::FileManager& fileManager) {
  std::optional<std::vector<std::string>> names =
      fileManager.contentsOfDirectory(platform::joinPath(jreDir, subDir));
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.ends_with(kPackedSuffix)) list.push_back(subDir + platform::format("/%@", name));
  }
}

bool Unpacker::unpack(const std::string& home, const Progress& progress) {
  platform::FileManager fileManager;
  const std::string tool = platform::joinPath(home, kUnpackTool);

  std::vector<std::string> packedFiles;
  addPackedFiles(packedFiles, kLibDirectory, home, fileManager);
  addPackedFiles(packedFiles, kExtDirectory, home, fileManager);
  _DLog("%s [Line %d] found %@", __PRETTY_FUNCTION__, __LINE__, packedFiles);

  double total = 0;
  for (const std::string& relative : packedFiles) {
    const std::string packed = platform::joinPath(home, relative);
    const std::string jar = packed.substr(0, packed.size() - kPackSuffix.size());
    if (fileManager.fileExists(packed)) {
      _DLog("%s [Line %d] unpacking %@", __PRETTY_FUNCTION__, __LINE__, relative);
      if (!runUnpackTool(tool, packed, jar)) {
        platform::log("%s [Line %d] Unpack task failed.", __PRETTY_FUNCTION__, __LINE__);
        return false;
      }
    }
    if (progress) {
      total += 100.0 / static_cast<double>(packedFiles.size());
      progress(total);
    }
  }
  return true;
}
