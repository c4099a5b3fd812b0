// Helpers for end-to-end tests of the front end: bundles assembled around the
// built program, a Java test application compiled once, the JDK 17 runtime
// archive made by GNU tar (cached in the build tree across test processes),
// and the program's usual environment for the shared runner.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/Value.h"

namespace e2e {

namespace fs = std::filesystem;
using test_support::Run;
using test_support::runCommand;
using test_support::RunOptions;
using test_support::slurp;

inline std::string jdk17Home() {
  if (const char* home = std::getenv("MI_TEST_JDK17"); home && *home) return home;
  return "/usr/lib/jvm/java-17-openjdk-amd64";
}

inline fs::path cacheDirectory() {
  fs::path dir = fs::path(MI_BINARY_DIR) / "e2e-cache";
  fs::create_directories(dir);
  return dir;
}

// Makes file once per build tree: concurrent test processes wait on a lock,
// and a half-made file never takes the final name.
inline fs::path cached(const std::string& name, const std::function<void(const fs::path& output)>& make) {
  fs::path target = cacheDirectory() / name;
  int lock = ::open((target.string() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  ::flock(lock, LOCK_EX);
  if (!fs::exists(target)) {
    fs::path partial = target.string() + ".partial";
    fs::remove_all(partial);
    make(partial);
    fs::rename(partial, target);
  }
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return target;
}

// The JDK 17 as a runtime bundle's contents (Contents/Home/...), links
// resolved (the distribution's JDK links into /etc), without the parts a
// runtime does not need (module files, sources, documentation).
inline fs::path jdkArchive() {
  return cached("jdk17-runtime.tar.gz", [](const fs::path& out) {
    int rc = runCommand({"tar", "--dereference", "--exclude=./jmods", "--exclude=./docs",
                         "--exclude=./lib/src.zip", "--exclude=./lib/libatk-wrapper.so",
                         "--transform=s,^\\.,Contents/Home,", "-czf", out.string(), "-C", jdk17Home(), "."});
    if (rc != 0) throw std::runtime_error("tar failed making the JDK archive");
  });
}

// The uncompressed size a gzip file records in its last four bytes (modulo
// 4 GiB; a runtime archive is far smaller).
inline std::int64_t gzipUncompressedSize(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(-4, std::ios::end);
  unsigned char b[4] = {};
  in.read(reinterpret_cast<char*>(b), 4);
  return static_cast<std::int64_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24);
}

// A jar, made once per build tree, holding the one class className compiled
// from source with the JDK 17.
inline fs::path compiledJar(const std::string& name, const std::string& className,
                            const std::string& source) {
  return cached(name, [&](const fs::path& out) {
    fs::path src = out.string() + ".src";
    fs::create_directories(src);
    std::ofstream(src / (className + ".java")) << source;
    std::string bin = jdk17Home() + "/bin/";
    if (runCommand({bin + "javac", "-d", src.string(), (src / (className + ".java")).string()}) != 0)
      throw std::runtime_error("javac failed");
    if (runCommand({bin + "jar", "cf", out.string(), "-C", src.string(), className + ".class"}) != 0)
      throw std::runtime_error("jar failed");
    fs::remove_all(src);
  });
}

// A Java application that prints its arguments and the launcher's system
// properties, optionally sleeps, echoes standard input, and exits with the
// status given as "--exit=N".
inline fs::path echoJar() {
  return compiledJar("echo.jar", "Echo", R"(
import java.io.*;
public class Echo {
  public static void main(String[] args) throws Exception {
    int status = 0; long sleep = 0; boolean echo = false;
    for (String a : args) {
      System.out.println("arg=" + a);
      if (a.startsWith("--exit=")) status = Integer.parseInt(a.substring(7));
      if (a.startsWith("--sleep=")) sleep = Long.parseLong(a.substring(8));
      if (a.equals("--stdin")) echo = true;
    }
    System.out.println("jreBundle=" + System.getProperty("qvr.jreBundle"));
    System.out.println("tarFile=" + System.getProperty("qvr.tarFile"));
    System.out.println("ownBundlePath=" + System.getProperty("qvr.ownBundlePath"));
    System.out.println("javaHome=" + System.getProperty("java.home"));
    System.out.flush();
    if (sleep > 0) {
      Runtime.getRuntime().addShutdownHook(new Thread(() -> { System.out.println("shutdown hook"); System.out.flush(); }));
      System.out.println("sleeping");
      System.out.flush();
      Thread.sleep(sleep);
    }
    if (echo) {
      BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
      for (String line; (line = in.readLine()) != null;) System.out.println("in=" + line);
      System.out.println("eof");
    }
    System.out.flush();
    System.exit(status);
  }
}
)");
}

// An application bundle Test.app with the built program as its executable.
inline fs::path makeBundle(const fs::path& parent, const platform::Dictionary& extraInfo,
                           const std::string& name = "Test") {
  fs::path app = parent / (name + ".app");
  fs::create_directories(app / "Contents/MacOS");
  fs::create_directories(app / "Contents/Resources/app");
  fs::copy_file(MI_PROGRAM_PATH, app / "Contents/MacOS" / name, fs::copy_options::overwrite_existing);
  fs::copy_file(echoJar(), app / "Contents/Resources/app/echo.jar", fs::copy_options::overwrite_existing);
  fs::path resources = fs::path(MI_SOURCE_DIR) / "resources";
  fs::copy(resources / "MainMenu.ui", app / "Contents/Resources/MainMenu.ui");
  for (const char* lproj : {"en.lproj", "de.lproj"})
    fs::copy(resources / lproj, app / "Contents/Resources" / lproj, fs::copy_options::recursive);
  fs::path messages = app / "Contents/Resources/.quorvane/Messages.bundle/Contents/Resources";
  fs::create_directories(messages);
  fs::copy(resources / "Messages", messages, fs::copy_options::recursive);

  platform::Dictionary javaVM = {
      {"MainClass", platform::Value("Echo")},
      {"ClassPath", platform::Value("$APP_PACKAGE/Contents/Resources/app/echo.jar")},
  };
  platform::Dictionary info = {
      {"CFBundleName", platform::Value(name)},
      {"CFBundleExecutable", platform::Value(name)},
      {"CFBundleIdentifier", platform::Value("com.example." + name)},
      {"CFBundleDevelopmentRegion", platform::Value("en")},
      {"qvr.baseDir", platform::Value("$APP_PACKAGE/Contents/Resources")},
  };
  for (const auto& [key, value] : extraInfo) {
    if (key == "JavaVM" && value.asDictionary()) {
      for (const auto& [k, v] : *value.asDictionary()) javaVM[k] = v;
    } else {
      info[key] = value;
    }
  }
  info["JavaVM"] = platform::Value(javaVM);
  std::ofstream(app / "Contents/Info.plist") << platform::Value(info).toXML();
  return app;
}

inline std::string executableOf(const fs::path& app) {
  return (app / "Contents/MacOS" / app.stem()).string();
}

// Starts the program as test_support::runProgram does, with the diagnostic
// log on and without a display unless the options say otherwise.
inline Run runProgram(const std::string& program, const fs::path& scratch, RunOptions options) {
  options.environment.insert({"DISPLAY", std::nullopt});
  options.environment.insert({"WAYLAND_DISPLAY", std::nullopt});
  options.environment.insert({"QUORVANE_LOG", "yes"});
  return test_support::runProgram(program, scratch, options);
}

// A test running the program in its own directory root_, which is kept when
// the test fails; the runs get their own temporary directory and home.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp());
    fs::create_directories(root_ / "home");
  }
  void TearDown() override { directory_.keep = HasFailure(); }
  fs::path tmp() const { return root_ / "tmp"; }

  // Only the runs' own temporary directory, home and preferences are used.
  RunOptions options() const {
    RunOptions o;
    o.environment = {{"TMPDIR", tmp().string()},
                     {"HOME", (root_ / "home").string()},
                     {"XDG_CONFIG_HOME", (root_ / "home/.config").string()},
                     {"LANGUAGE", std::string("en")},
                     {"LC_ALL", std::nullopt},
                     {"JAVA_HOME", std::nullopt}};
    return o;
  }

  test_support::TemporaryDirectory directory_;
  const fs::path root_ = directory_.path();
};

// A named pipe in place of a runtime archive: a thread feeds the first 30 %
// of archive as soon as the program opens it, holds the rest back until
// release() returns true, then feeds it slowly (64 KiB every 5 ms), so that
// a Cancel or signal sent meanwhile surely lands during the extraction and
// is still seen at a later progress report. Once the program has read the
// first part, the file heldMarker (when given) is made, for a script that
// must wait until the extraction runs. The destructor, called once the
// program has ended, stops the thread.
class HeldArchive {
 public:
  HeldArchive(const fs::path& fifo, const fs::path& archive, std::function<bool()> release,
              fs::path heldMarker = {})
      : bytes_(slurp(archive)), release_(std::move(release)), heldMarker_(std::move(heldMarker)) {
    if (::mkfifo(fifo.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + fifo.string());
    thread_ = std::thread([this, fifo] { feed(fifo); });
  }
  ~HeldArchive() {
    gone_ = true;
    thread_.join();
  }
  HeldArchive(const HeldArchive&) = delete;
  HeldArchive& operator=(const HeldArchive&) = delete;

 private:
  void feed(const fs::path& fifo) {
    // The program may die with the pipe open: writes then fail instead of
    // ending the test.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    int fd = -1;
    while (fd < 0 && !gone_) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    size_t part = bytes_.size() * 3 / 10;
    write(fd, 0, part);
    if (!heldMarker_.empty()) std::ofstream{heldMarker_};
    while (!gone_ && !release_()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t at = part; at < bytes_.size() && !gone_; at += 65536) {
      write(fd, at, std::min<size_t>(65536, bytes_.size() - at));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
  }
  void write(int fd, size_t at, size_t size) {
    while (size > 0) {
      ssize_t w = ::write(fd, bytes_.data() + at, size);
      if (w <= 0) return;
      at += static_cast<size_t>(w);
      size -= static_cast<size_t>(w);
    }
  }

  std::string bytes_;
  std::function<bool()> release_;
  fs::path heldMarker_;
  std::atomic<bool> gone_{false};
  std::thread thread_;
};

// Waits until a file holds a text; false after the time-out.
inline bool waitForText(const fs::path& file, const std::string& text,
                        std::chrono::seconds timeout = std::chrono::seconds(60)) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (slurp(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace e2e
