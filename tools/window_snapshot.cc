// Renders the download window in one of its states and saves it as a PNG:
//   gtk_window_snapshot STATE OUTPUT.png [SPLASH.png]
// STATE is downloading, figures, indeterminate, failed or initializing.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "download/progress.h"
#include "display/gtk/loop-gtk.h"
#include "display/gtk/window-gtk.h"

namespace {

void showDownloading(GtkDownloadWindow& window) {
  window.setStatus("Downloading  42%");
  window.setProgressMax(1000.0);
  window.setProgressValue(420.0);
}

// A download under way for a few seconds, with its figures under the text.
void showFigures(GtkDownloadWindow& window) {
  showDownloading(window);
  window.setFiguresWording(figuresWording());
  window.setTransferFigures({21076377, 50331648, 5557452.8, 5.4});
}

void showIndeterminate(GtkDownloadWindow& window) {
  window.setStatus("Downloading");
  window.setProgressIndeterminate(true);
  window.setProgressAnimating(true);
}

void showFailed(GtkDownloadWindow& window) {
  window.setProgressMax(1000.0);
  window.setStatusSingleLine(false);
  window.setStatus(
      "Error during the download process.\nSee your system log for more information.");
  window.setStatusRed(true);
  window.setProgressValue(1000.0);
  window.setProgressAnimating(false);
}

void showInitializing(GtkDownloadWindow& window) {
  window.setStatus("Initializing the installer");
  window.setCancelEnabled(false);
  window.setProgressIndeterminate(true);
  window.setProgressAnimating(true);
}

bool showState(GtkDownloadWindow& window, const std::string& state) {
  if (state == "downloading") showDownloading(window);
  else if (state == "figures") showFigures(window);
  else if (state == "indeterminate") showIndeterminate(window);
  else if (state == "failed") showFailed(window);
  else if (state == "initializing") showInitializing(window);
  else return false;
  return true;
}

// Saves the toplevel as drawn, decorations included when the toolkit
// draws them itself.
bool save(GtkWindow* window, const char* path) {
  GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window));
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(surface, 0, 0, gdk_window_get_width(surface),
                                                 gdk_window_get_height(surface));
  if (pixbuf == nullptr) return false;
  bool saved = gdk_pixbuf_save(pixbuf, path, "png", nullptr, nullptr);
  g_object_unref(pixbuf);
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || !gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "usage: %s STATE OUTPUT.png [SPLASH.png] (needs a display)\n", argv[0]);
    return 2;
  }
  GtkLoop loop;
  GtkDownloadWindow window("Installer", "Downloading the installer");
  if (argc > 3) window.setSplash(argv[3], 400, 400);
  if (!showState(window, argv[1])) return 2;
  window.present();
  // Long enough for the first frames and a few pulses of the bar.
  loop.addTimer(0.7, [&loop] { loop.stop(); });
  loop.run();
  window.displayIfNeeded();
  return save(window.parts().window, argv[2]) ? 0 : 1;
}
