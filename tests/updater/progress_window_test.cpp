#include "updater/progress_window.h"

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/driver_state.h"
#include "window_test_util.h"

using updater_test::TempDir;
using updater_test::write_file;

namespace {

// Drives the shown window from inside its own main loop, one step per tick, and ends
// the loop through the quit flag as the update thread would.
struct WindowScript {
  int step = 0;
  int delete_events = 0;
  bool checked_after_close = false;
  bool failed_safe = false;
};

gboolean count_delete_event(GSignalInvocationHint*, guint, const GValue*, gpointer data) {
  ++static_cast<WindowScript*>(data)->delete_events;
  return TRUE;
}

// Runs after GTK's own idle that delivers a close request.
gboolean check_after_close(gpointer data) {
  auto* script = static_cast<WindowScript*>(data);
  EXPECT_EQ(script->delete_events, 1);
  EXPECT_TRUE(gtk_widget_get_visible(progress_ui().window));
  script->checked_after_close = true;
  return FALSE;
}

GtkProgressBar* bar() { return GTK_PROGRESS_BAR(progress_ui().progress_bar); }

gboolean drive(gpointer data) {
  auto* script = static_cast<WindowScript*>(data);
  GtkWidget* window = progress_ui().window;
  switch (script->step) {
    case 0:
      if (window == nullptr || !gtk_widget_get_visible(window)) return TRUE;
      gProgressPercent.store(42.0f);
      ++script->step;
      return TRUE;
    case 1:
      // The 100 ms timer carries the progress to the bar.
      if (gtk_progress_bar_get_fraction(bar()) != 0.42) return TRUE;
      gProgressPercent.store(87.5f);
      ++script->step;
      return TRUE;
    case 2:
      if (gtk_progress_bar_get_fraction(bar()) != 0.875) return TRUE;
      // What a window manager's close button asks for.
      gtk_window_close(GTK_WINDOW(window));
      g_idle_add_full(G_PRIORITY_LOW, check_after_close, script, nullptr);
      ++script->step;
      return TRUE;
    case 3:
      if (!script->checked_after_close) return TRUE;
      gProgressPercent.store(100.0f);
      QuitProgressUI();
      ++script->step;
      return FALSE;
    default: return FALSE;
  }
}

// Ends the loop should the window never get there, so a failure cannot hang the test.
gboolean fail_safe(gpointer data) {
  static_cast<WindowScript*>(data)->failed_safe = true;
  ADD_FAILURE() << "the window's loop did not end through the quit flag";
  gtk_main_quit();
  return FALSE;
}

// GTK opens its display once per process, so the tests of this suite share one server,
// started before the first and stopped after the last.
class ProgressWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = std::make_unique<updater_test::Xvfb>(); }
  static void TearDownTestSuite() { xvfb_.reset(); }

  void SetUp() override {
    reset_driver_state();
    ASSERT_FALSE(xvfb_->display().empty()) << "Xvfb did not start";
    updater_test::set_gtk_test_environment(xvfb_->display());
    ASSERT_EQ(::mkdir(patch_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((patch_ + "/icons").c_str(), 0755), 0);
  }
  void TearDown() override { reset_driver_state(); }

  // Prepares the window as main does, with a fresh window state, and checks that GTK's
  // options stayed in the argument vector main goes on with.
  void Init() {
    ProgressUI& ui = progress_ui();
    if (ui.icon != nullptr) g_object_unref(ui.icon);
    ui = ProgressUI{};
    std::vector<std::string> args = {program_, "--class=x", patch_, "/opt/app", "/w", "first", "--name", "y"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    InitProgressUI(static_cast<int>(args.size()), argv.data(), patch_.c_str());
    ASSERT_EQ(argv.size(), args.size() + 1);
    for (std::size_t i = 0; i < args.size(); ++i) EXPECT_STREQ(argv[i], args[i].c_str());
  }

  static std::unique_ptr<updater_test::Xvfb> xvfb_;
  TempDir dir_;
  std::string program_ = dir_ / "updater";
  std::string patch_ = dir_ / "patch";
};

std::unique_ptr<updater_test::Xvfb> ProgressWindow::xvfb_;

TEST_F(ProgressWindow, TextsFromTheIniBesideTheProgram) {
  const struct {
    const char* ini;  // null: no file
    bool enabled;
    const char* title;
    const char* info;
  } cases[] = {
      {nullptr, false, "", ""},
      {"[Strings]\nTitle=Only a title\n", false, "", ""},
      {"[Other]\nTitle=T\nInfo=I\n", false, "", ""},
      {"[Strings]\nTitle=Update\nInfo= Installing the update \n", true, "Update", " Installing the update "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini == nullptr ? "(none)" : c.ini);
    ::unlink((program_ + ".ini").c_str());
    if (c.ini != nullptr) {
      ASSERT_TRUE(write_file(program_ + ".ini", c.ini));
    }
    Init();
    EXPECT_EQ(progress_ui().enabled, c.enabled);
    if (c.enabled) {
      EXPECT_EQ(progress_ui().title, c.title);
      EXPECT_EQ(progress_ui().info, c.info);
    }
    // Without the texts no icon is loaded; with them but without the file, none either.
    EXPECT_EQ(progress_ui().icon, nullptr);
  }

  ASSERT_TRUE(updater_test::write_test_icon(patch_ + "/icons/updater.png", 24));
  Init();
  ASSERT_TRUE(progress_ui().enabled);
  ASSERT_NE(progress_ui().icon, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(progress_ui().icon), 24);
}

TEST_F(ProgressWindow, ShownUnclosableFollowsProgressAndEndsOnQuitFlag) {
  ASSERT_TRUE(write_file(program_ + ".ini", "[Strings]\nTitle=Test Update\nInfo=Installing the update\n"));
  ASSERT_TRUE(updater_test::write_test_icon(patch_ + "/icons/updater.png", 32));
  Init();
  ASSERT_TRUE(progress_ui().enabled);

  WindowScript script;
  const guint delete_signal = g_signal_lookup("delete-event", GTK_TYPE_WIDGET);
  const gulong hook = g_signal_add_emission_hook(delete_signal, 0, count_delete_event, &script, nullptr);
  g_timeout_add(10, drive, &script);
  const guint safety = g_timeout_add_seconds(60, fail_safe, &script);
  ShowProgressUI();
  if (!script.failed_safe) g_source_remove(safety);
  g_signal_remove_emission_hook(delete_signal, hook);

  ASSERT_FALSE(script.failed_safe);
  EXPECT_EQ(script.step, 4);
  GtkWidget* widget = progress_ui().window;
  ASSERT_NE(widget, nullptr);
  GtkWindow* window = GTK_WINDOW(widget);
  // The quit flag hid the window and ended the loop.
  EXPECT_FALSE(gtk_widget_get_visible(widget));
  EXPECT_EQ(gtk_main_level(), 0u);

  EXPECT_STREQ(gtk_window_get_title(window), "Test Update");
  EXPECT_EQ(gtk_window_get_type_hint(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  EXPECT_FALSE(gtk_window_get_resizable(window));
  EXPECT_FALSE(gtk_window_get_deletable(window));
  EXPECT_TRUE(gtk_window_get_decorated(window));
  GtkWindowPosition position = GTK_WIN_POS_NONE;
  g_object_get(window, "window-position", &position, nullptr);
  EXPECT_EQ(position, GTK_WIN_POS_CENTER_ALWAYS);
  GdkPixbuf* icon = gtk_window_get_icon(window);
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(icon), 32);
  // The window holds the icon now; the program let go of its own reference.
  EXPECT_EQ(progress_ui().icon, nullptr);
  EXPECT_EQ(gtk_container_get_border_width(GTK_CONTAINER(widget)), 10u);

  GtkWidget* box = gtk_bin_get_child(GTK_BIN(widget));
  ASSERT_TRUE(GTK_IS_BOX(box));
  EXPECT_EQ(gtk_orientable_get_orientation(GTK_ORIENTABLE(box)), GTK_ORIENTATION_VERTICAL);
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(box)), 6);
  EXPECT_TRUE(gtk_box_get_homogeneous(GTK_BOX(box)));
  GList* children = gtk_container_get_children(GTK_CONTAINER(box));
  ASSERT_EQ(g_list_length(children), 2u);
  GtkWidget* label = GTK_WIDGET(g_list_nth_data(children, 0));
  GtkWidget* progress = GTK_WIDGET(g_list_nth_data(children, 1));
  g_list_free(children);
  ASSERT_TRUE(GTK_IS_LABEL(label));
  EXPECT_EQ(progress, progress_ui().progress_bar);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label)), "Installing the update");
  gfloat xalign = -1;
  gfloat yalign = -1;
  g_object_get(label, "xalign", &xalign, "yalign", &yalign, nullptr);
  EXPECT_EQ(xalign, 0.0f);
  EXPECT_EQ(yalign, 0.0f);
  const struct {
    GtkWidget* child;
    gboolean expand_fill;
  } packing[] = {{label, FALSE}, {progress, TRUE}};
  for (const auto& p : packing) {
    gboolean expand = !p.expand_fill;
    gboolean fill = !p.expand_fill;
    guint padding = 99;
    gtk_container_child_get(GTK_CONTAINER(box), p.child, "expand", &expand, "fill", &fill, "padding", &padding,
                            nullptr);
    EXPECT_EQ(expand, p.expand_fill);
    EXPECT_EQ(fill, p.expand_fill);
    EXPECT_EQ(padding, 0u);
  }
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress)), 1.0);
}

}  // namespace
