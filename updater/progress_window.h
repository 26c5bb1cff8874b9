#pragma once
// The progress window: a small window that cannot be closed, with a text and a bar that
// follows gProgressPercent, shown by main while a normal, visible update runs and closed
// when the update thread sets gQuitProgressUI. It runs on the main thread only.
//
// Its texts come from "<program>.ini" beside the program as it was started (argv[0]),
// section "Strings", keys "Title" and "Info", both required; its icon from
// "<patch-dir>/icons/updater.png", when there is one.
#include <gtk/gtk.h>

#include <string>
#include <vector>

struct ProgressUI {
  // GTK initialised and both texts found: the window may be shown.
  bool enabled = false;
  std::string title;
  std::string info;
  GdkPixbuf* icon = nullptr;  // released once the window holds it
  GtkWidget* window = nullptr;
  GtkWidget* progress_bar = nullptr;
  // The copy of the argument vector given to GTK, which takes its own options out of
  // it; kept for the life of the process.
  std::vector<std::string> gtk_args;
  std::vector<char*> gtk_argv;
};

// The process-wide window state.
ProgressUI& progress_ui();

// Initialises GTK with a copy of the arguments, reads the texts and loads the icon. The
// window stays disabled when GTK cannot start (no display) or the texts are missing.
void InitProgressUI(int argc, char* const* argv, const char* patch_dir);

// Builds the window, shows it and runs the GTK main loop until on_progress_timer ends it.
void ShowProgressUI();

// "delete_event": refused, so the window cannot be closed by the user.
gboolean on_delete_event(GtkWidget* widget, GdkEvent* event, gpointer data);

// Every 100 ms: when the quit flag is set, hides the window and leaves the main loop; sets
// the bar to the progress. Keeps running as long as the loop runs.
gboolean on_progress_timer(gpointer data);
