// The progress window of the program, on an X server of the test's own. The precomplete
// list of a "complete" update is a FIFO: the update thread waits in its open, at 0 %,
// until the test opens the other end, so the window (or its absence) can be looked at
// while the update is held.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "tests/updater/window_test_util.h"
#include "update_tree.h"

namespace program_test {
namespace {

using updater_test::run_command;
using updater_test::shell_quote;

constexpr const char* kTitle = "Ondrel Test Update";
// The calls the threads wait in, by this machine's numbers. GLib's main loop polls with
// poll where the system has it, else with ppoll.
constexpr long kSysOpenat = SYS_openat;
#ifdef SYS_poll
constexpr long kSysPoll = SYS_poll;
#else
constexpr long kSysPoll = SYS_ppoll;
#endif
constexpr long kSysFutex = SYS_futex;

// Calls `done` until it holds, for at most a minute.
bool wait_until(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    ::usleep(5000);
  }
  return true;
}

// The system call a thread of `pid` waits in; nothing while it runs or when it is gone.
std::optional<long> syscall_of(pid_t pid, const std::string& tid) {
  const auto text = updater_test::read_file("/proc/" + std::to_string(pid) + "/task/" + tid + "/syscall");
  if (!text || text->empty() || !std::isdigit(static_cast<unsigned char>((*text)[0]))) return std::nullopt;
  return std::stol(*text);
}

// Whether a thread other than the main one waits in openat: the update thread at the FIFO.
bool update_thread_held(pid_t pid) {
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (dir == nullptr) return false;
  bool held = false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string tid = entry->d_name;
    if (tid == "." || tid == ".." || tid == std::to_string(pid)) continue;
    held = held || syscall_of(pid, tid) == kSysOpenat;
  }
  ::closedir(dir);
  return held;
}

bool main_thread_in(pid_t pid, long call) { return syscall_of(pid, std::to_string(pid)) == call; }

std::string x_command(const std::string& display, const std::string& command) {
  return "DISPLAY=" + shell_quote(display) + " " + command;
}

// The id of the top-level window titled kTitle on the display, or empty.
std::string find_window(const std::string& display) {
  std::istringstream tree(run_command(x_command(display, "xwininfo -root -tree")).out);
  for (std::string line; std::getline(tree, line);) {
    if (line.find(std::string("\"") + kTitle + "\"") == std::string::npos) continue;
    std::istringstream words(line);
    std::string id;
    words >> id;
    return id;
  }
  return {};
}

struct WindowTree : UpdateTree {
  std::string program = root / "bin/updater";  // argv[0]; the INI lies beside it
  std::string fifo = install + "/precomplete";

  WindowTree() {
    ::mkdir((root / "bin").c_str(), 0755);
    put(install + "/update-settings.ini", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=release\n");
    put(install + "/run.sh", "#!/bin/sh\nexit 0\n", 0755);
    if (::mkfifo(fifo.c_str(), 0644) != 0) ADD_FAILURE() << "mkfifo";
    ::mkdir((patch + "/icons").c_str(), 0755);
    if (!updater_test::write_test_icon(patch + "/icons/updater.png", 24)) ADD_FAILURE() << "icon";
  }
  void put_ini() const { put(program + ".ini", std::string("[Strings]\nTitle=") + kTitle + "\nInfo=Installing\n"); }
  bool put_update() const {
    return put_archive({{"updatev3.manifest", "type \"complete\"\nadd \"a.txt\"\n", 0644}, {"a.txt", "a\n", 0644}});
  }
  // Lets the update thread through: its open returns, and it reads an empty list.
  void release() const {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
  }
};

class WindowProgram : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(xvfb_.display().empty()) << "Xvfb did not start"; }

  Launch launch_for(const WindowTree& t, std::vector<std::string> more, bool with_display) const {
    Launch launch;
    launch.argv0 = t.program;
    launch.args = t.args(std::move(more));
    if (with_display) {
      launch.unset = {"WAYLAND_DISPLAY"};
      launch.env = {"DISPLAY=" + xvfb_.display()};
    }
    return launch;
  }

  updater_test::Xvfb xvfb_;
};

TEST_F(WindowProgram, ShownWhileTheUpdateIsHeld) {
  WindowTree t;
  t.put_ini();
  ASSERT_TRUE(t.put_update());
  Process process(launch_for(t, {}, true));
  ASSERT_TRUE(process.started());
  ASSERT_TRUE(wait_until([&] { return update_thread_held(process.pid()); }));
  // Main waited its half second, found the update at 0 % and runs the window's loop.
  ASSERT_TRUE(wait_until([&] { return main_thread_in(process.pid(), kSysPoll); }));
  std::string id;
  ASSERT_TRUE(wait_until([&] { return !(id = find_window(xvfb_.display())).empty(); }));

  const std::string props =
      run_command(x_command(xvfb_.display(), "xprop -id " + id +
                                                 " WM_NAME _NET_WM_NAME _NET_WM_WINDOW_TYPE _MOTIF_WM_HINTS "
                                                 "WM_NORMAL_HINTS _NET_WM_ICON"))
          .out;
  EXPECT_NE(props.find(std::string("_NET_WM_NAME(UTF8_STRING) = \"") + kTitle + "\""), std::string::npos) << props;
  EXPECT_NE(props.find("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos) << props;
  EXPECT_NE(props.find("Icon (24 x 24)"), std::string::npos) << props;
  // Every window function but close (0x20) is offered.
  EXPECT_NE(props.find("_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x1, 0x21,"), std::string::npos) << props;
  // Not resizable: the smallest and the largest size are one.
  const std::size_t min_at = props.find("minimum size: ");
  const std::size_t max_at = props.find("maximum size: ");
  ASSERT_NE(min_at, std::string::npos) << props;
  ASSERT_NE(max_at, std::string::npos) << props;
  EXPECT_EQ(props.substr(min_at + 14, props.find('\n', min_at) - min_at - 14),
            props.substr(max_at + 14, props.find('\n', max_at) - max_at - 14));

  const std::string shot = std::string(ONDREL_TEST_ARTIFACT_DIR) + "/updater_window.png";
  ASSERT_EQ(run_command(x_command(xvfb_.display(), "import -window root " + shell_quote(shot))).status, 0);
  EXPECT_EQ(run_command("identify -format '%m %wx%h' " + shell_quote(shot)).out, "PNG 800x600");

  t.release();
  EXPECT_EQ(process.wait(), 0);
  EXPECT_EQ(t.status(), "succeeded\n");
  EXPECT_EQ(updater_test::read_file(t.install + "/a.txt"), "a\n");
}

TEST_F(WindowProgram, NoneWhenSilentWithoutTextsOrWithoutDisplay) {
  const struct {
    const char* what;
    bool ini, display, background;
  } cases[] = {
      {"--backgroundtask", true, true, true},
      {"no INI beside the program", false, true, false},
      {"no display", true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WindowTree t;
    if (c.ini) t.put_ini();
    ASSERT_TRUE(t.put_update());
    std::vector<std::string> more;
    if (c.background) more = {"1", t.outside, t.install + "/run.sh", "--backgroundtask"};
    Process process(launch_for(t, more, c.display));
    ASSERT_TRUE(process.started());
    ASSERT_TRUE(wait_until([&] { return update_thread_held(process.pid()); }));
    // Main went straight on to wait for the update thread: no window is coming.
    ASSERT_TRUE(wait_until([&] { return main_thread_in(process.pid(), kSysFutex); }));
    EXPECT_EQ(find_window(xvfb_.display()), "");
    t.release();
    EXPECT_EQ(process.wait(), 0);
    EXPECT_EQ(t.status(), "succeeded\n");
  }
}

}  // namespace
}  // namespace program_test
