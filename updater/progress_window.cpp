#include "updater/progress_window.h"

#include <optional>

#include "updater/driver_state.h"
#include "updater/ini.h"
#include "updater/path_buffer.h"

namespace {

constexpr guint kTimerIntervalMs = 100;
constexpr gint kBoxSpacing = 6;
constexpr guint kBorderWidth = 10;

}  // namespace

ProgressUI& progress_ui() {
  static ProgressUI ui;
  return ui;
}

void InitProgressUI(int argc, char* const* argv, const char* patch_dir) {
  ProgressUI& ui = progress_ui();
  // GTK removes the options it knows ("--class=x", "--name x", ...) wherever they stand,
  // and the arguments were checked as given: it gets a copy, so the callback starts with
  // the checked path and its arguments as given.
  ui.gtk_args.assign(argv, argv + argc);
  ui.gtk_argv.clear();
  for (std::string& arg : ui.gtk_args) ui.gtk_argv.push_back(arg.data());
  ui.gtk_argv.push_back(nullptr);
  int gtk_argc = argc;
  char** gtk_argv = ui.gtk_argv.data();
  ui.enabled = gtk_init_check(&gtk_argc, &gtk_argv) != FALSE;
  if (!ui.enabled) return;

  PathBuffer ini{};
  std::optional<std::string> texts[2];
  if (!format_path(ini, "%s.ini", argv[0]) || read_ini(ini.data(), "Title\0Info\0", texts, "Strings") != OK) {
    ui.enabled = false;
    return;
  }
  ui.title = texts[0].value_or("");
  ui.info = texts[1].value_or("");

  PathBuffer icon{};
  if (format_path(icon, "%s/icons/updater.png", patch_dir)) ui.icon = gdk_pixbuf_new_from_file(icon.data(), nullptr);
}

gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

gboolean on_progress_timer(gpointer) {
  ProgressUI& ui = progress_ui();
  if (gQuitProgressUI.load(std::memory_order_relaxed) != 0) {
    gtk_widget_hide(ui.window);
    gtk_main_quit();
  }
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(ui.progress_bar),
                                static_cast<double>(gProgressPercent.load(std::memory_order_relaxed)) / 100.0);
  return TRUE;
}

void ShowProgressUI() {
  ProgressUI& ui = progress_ui();
  ui.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (ui.window == nullptr) return;
  GtkWindow* window = GTK_WINDOW(ui.window);
  g_signal_connect(ui.window, "delete_event", G_CALLBACK(on_delete_event), nullptr);

  gtk_window_set_title(window, ui.title.c_str());
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER_ALWAYS);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_decorated(window, TRUE);
  gtk_window_set_deletable(window, FALSE);
  if (ui.icon != nullptr) {
    gtk_window_set_icon(window, ui.icon);
    g_object_unref(ui.icon);
    ui.icon = nullptr;
  }

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, kBoxSpacing);
  gtk_box_set_homogeneous(GTK_BOX(box), TRUE);
  GtkWidget* label = gtk_label_new(ui.info.c_str());
  g_object_set(label, "xalign", 0.0, "yalign", 0.0, nullptr);
  ui.progress_bar = gtk_progress_bar_new();
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), ui.progress_bar, TRUE, TRUE, 0);

  g_timeout_add(kTimerIntervalMs, on_progress_timer, nullptr);

  gtk_container_set_border_width(GTK_CONTAINER(ui.window), kBorderWidth);
  gtk_container_add(GTK_CONTAINER(ui.window), box);
  gtk_widget_show_all(ui.window);
  gtk_main();
}
