// The GTK window's close button and the GTK notice, end to end under Xvfb:
// the built program in assembled bundles with the real JDK 17. Xvfb has no
// window manager, so the close button's request is sent as the window
// manager sends it.
#include <gtest/gtest.h>

#include "FrontEndSupport.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

#ifdef MI_CLOSE_WINDOW
constexpr const char* kCloseWindow = MI_CLOSE_WINDOW;
#else
constexpr const char* kCloseWindow = "";
#endif

class GtkWindowTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    if (!*kCloseWindow) GTEST_SKIP() << "built without the X11 client library";
    if (e2e::runCommand({"sh", "-c", "command -v Xvfb && command -v xdotool && command -v import"}) != 0)
      GTEST_SKIP() << "Xvfb, xdotool or import missing";
    e2e::ProgramTest::SetUp();
  }

  // Runs script under an X server of its own, once the server answers; the
  // script gets the program as $0 and these shell functions: "window NAME"
  // waits for a visible window of that name and prints its id, "close ID"
  // presses its close button, "appears FILE" waits for a file and "holds
  // FILE TEXT" for a text in a file (each at most 60 s). The server picks a
  // free display itself (-displayfd), so tests running side by side never
  // share one, and it is ended by its process id when the script is done.
  e2e::Run underXvfb(const fs::path& app, const std::string& script, e2e::RunOptions o) {
    std::string server =
        "D='" + (root_ / "display").string() + "' L='" + (root_ / "xvfb.log").string() + "'\n" +
        R"sh(Xvfb -displayfd 3 -noreset -screen 0 800x600x24 -nolisten tcp 3> "$D" 2> "$L" & server=$!
ready=
for i in $(seq 600); do
  if grep -q '^[0-9][0-9]*$' "$D" 2> /dev/null && DISPLAY=:$(cat "$D") xwininfo -root > /dev/null 2>&1; then
    ready=1; break
  fi
  kill -0 $server 2> /dev/null || break
  sleep 0.1
done
[ -n "$ready" ] || { echo "no X server: $(cat "$L")" >&2; kill $server 2> /dev/null; exit 97; }
export DISPLAY=:$(cat "$D"); unset XAUTHORITY WAYLAND_DISPLAY
)sh";
    std::string functions =
        "window() { for i in $(seq 300); do w=$(xdotool search --onlyvisible --name \"$1\" 2>/dev/null | "
        "head -1); [ -n \"$w\" ] && { echo \"$w\"; return 0; }; sleep 0.1; done; return 1; }\n"
        "close() { '" +
        std::string(kCloseWindow) +
        "' \"$1\"; }\n"
        "appears() { for i in $(seq 600); do [ -e \"$1\" ] && return 0; sleep 0.1; done; return 1; }\n"
        "holds() { for i in $(seq 600); do grep -q \"$2\" \"$1\" 2>/dev/null && return 0; sleep 0.1; done; "
        "return 1; }\n";
    std::string run = "(\n" + script + "\n)\nstatus=$?\nkill $server; wait $server\nexit $status\n";
    o.arguments = {"-c", server + functions + run, e2e::executableOf(app)};
    return e2e::runProgram("/bin/sh", root_ / "run", o);
  }
  static void setWindowTitle(const fs::path& app, const std::string& title) {
    std::ofstream(app / "Contents/Resources/en.lproj/Localizable.strings")
        << "\"WizardCaption\" = \"" << title << "\";\n";
  }
};

// The archive is held at 30 % until the close request is sent, and the
// request goes once the program has read those 30 %, so it surely comes
// while the extraction runs.
TEST_F(GtkWindowTest, CloseButtonCancelsDuringExtraction) {
  Dictionary info = {
      {"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{Value("R" + e2e::jdk17Home())})}})},
      {"qvr.jreUncompressedSize", Value::integer(e2e::gzipUncompressedSize(e2e::jdkArchive()))}};
  fs::path app = e2e::makeBundle(root_, info);
  setWindowTitle(app, "Close Button Test");
  fs::path closed = root_ / "closed", held = root_ / "held";
  e2e::HeldArchive archive(
      app / "Contents/Resources/app/jre.tar.gz", e2e::jdkArchive(), [&] { return fs::exists(closed); }, held);
  e2e::Run run = underXvfb(app,
                           "\"$0\" & pid=$!\n"
                           "w=$(window 'Close Button Test') && appears '" +
                               held.string() +
                               "' && close \"$w\"\n"
                               "touch '" +
                               closed.string() +
                               "'\n"
                               "wait $pid\n",
                           options());
  EXPECT_TRUE(fs::exists(held)) << "the extraction did not start";
  EXPECT_TRUE(fs::exists(closed));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Cancelled"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("jre destination"), std::string::npos) << "the extraction ran to its end";
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";
}

// Once the child runs there is nothing to cancel: the window stays until
// the run ends, and the child's status is the program's. The child reads
// its input (a named pipe held open by the script) to its end, so it runs
// until the window has been looked at.
TEST_F(GtkWindowTest, CloseButtonIsIgnoredOnceTheChildRuns) {
  Dictionary info = {
      {"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{Value("R" + e2e::jdk17Home())})},
                                  {"ArgumentArray", Value(Array{Value("--stdin"), Value("--exit=6")})}})}};
  fs::path app = e2e::makeBundle(root_, info);
  setWindowTitle(app, "Late Close Test");
  fs::path out = root_ / "run/stdout", visible = root_ / "visible", input = root_ / "input";
  e2e::Run run = underXvfb(app,
                           "mkfifo '" + input.string() + "'\n\"$0\" < '" + input.string() +
                               "' & pid=$!\n"
                               "exec 3> '" +
                               input.string() +
                               "'\n"
                               "w=$(window 'Late Close Test')\n"
                               "holds '" +
                               out.string() +
                               "' '^javaHome='\n"
                               "close \"$w\"; sleep 0.5\n"
                               "xdotool search --onlyvisible --name 'Late Close Test' > '" +
                               visible.string() +
                               "'\n"
                               "exec 3>&-\n"
                               "wait $pid\n",
                           options());
  EXPECT_EQ(run.status, 6) << run.err;
  EXPECT_NE(run.out.find("javaHome="), std::string::npos);
  EXPECT_NE(run.out.find("eof"), std::string::npos) << "the child did not run to its end";
  EXPECT_FALSE(e2e::slurp(visible).empty()) << "the window went with the close request";
  EXPECT_EQ(run.err.find("Cancelled"), std::string::npos) << run.err;
}

// No zenity or kdialog on PATH: a copy of the program shows the notice with
// GTK, outlives the program (which does not wait for it) and goes when the
// user presses OK.
TEST_F(GtkWindowTest, NoticeWithoutANoticeToolIsShownWithGtk) {
  Dictionary info = {{"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{})}})},
                     {"qvr.minVersion", Value("99")}};
  fs::path app = e2e::makeBundle(root_, info, "NoticeDemo");
  fs::path status = root_ / "status", shot = root_ / "notice.png", title = root_ / "title",
           gone = root_ / "gone";
  e2e::RunOptions o = options();
  e2e::Run run =
      underXvfb(app,
                "env PATH=/nonexistent \"$0\"; echo $? > '" + status.string() +
                    "'\n"
                    "w=$(window NoticeDemo) || { xwininfo -root -tree > '" +
                    title.string() +
                    "'; exit 0; }\n"
                    "xprop -id \"$w\" WM_NAME > '" +
                    title.string() +
                    "'\n"
                    "for i in $(seq 100); do import -window root 'png:" +
                    shot.string() + "'; [ $(stat -c %s '" + shot.string() +
                    "') -gt 2000 ] && break; sleep 0.1; done\n"
                    "xdotool windowfocus --sync \"$w\" key --window \"$w\" Return\n"
                    "for i in $(seq 300); do xdotool search --onlyvisible --name NoticeDemo > /dev/null || "
                    "{ touch '" +
                    gone.string() + "'; break; }; sleep 0.1; done\n",
                o);
  const std::string text = "NoticeDemo needs Java 99 or later, and no suitable Java runtime was found";
  EXPECT_EQ(e2e::slurp(status), "1\n") << run.err;
  EXPECT_NE(run.err.find("NoticeDemo: " + text), std::string::npos) << run.err;
  EXPECT_NE(e2e::slurp(title).find("\"NoticeDemo\""), std::string::npos) << "no notice window appeared\n"
                                                                         << run.err;
  ASSERT_TRUE(fs::exists(shot));
  EXPECT_GT(fs::file_size(shot), 2000u);
  // Kept where the picture can be looked at after the test.
  fs::copy_file(shot, e2e::cacheDirectory() / "gtk-notice.png", fs::copy_options::overwrite_existing);
  EXPECT_TRUE(fs::exists(gone)) << "OK did not close the notice";
}

}  // namespace
