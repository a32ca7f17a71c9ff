// Renders the download window in one of its states and saves it as a PNG:
//   gtk_window_snapshot STATE OUTPUT.png [SPLASH.png]
// STATE is downloading, figures, indeterminate, connecting, initializing,
// failed or try-again. The states the front end words itself (connecting
// and the failures) are put on the window by the front end's own code.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "display/gtk/loop-gtk.h"
#include "display/gtk/window-gtk.h"
#include "download/progress.h"
#include "download/status.h"

namespace {

constexpr const char kUrl[] = "https://downloads.example.com/product/agent.zip";

void showDownloading(GtkDownloadWindow& window, DownloadStatus&) {
  window.setStatus("Downloading  42%");
  window.setProgressMax(1000.0);
  window.setProgressValue(420.0);
}

// A download under way for a few seconds, with its figures under the text.
void showFigures(GtkDownloadWindow& window, DownloadStatus& status) {
  showDownloading(window, status);
  window.setFiguresWording(figuresWording());
  window.setTransferFigures({21076377, 50331648, 5557452.8, 5.4});
}

void showIndeterminate(GtkDownloadWindow& window, DownloadStatus&) {
  window.setStatus("Downloading");
  window.setProgressIndeterminate(true);
  window.setProgressAnimating(true);
}

void showConnecting(GtkDownloadWindow&, DownloadStatus& status) { status.connecting(kUrl); }

void showInitializing(GtkDownloadWindow& window, DownloadStatus&) {
  window.setStatus("Initializing the installer");
  window.setCancelEnabled(false);
  window.setProgressIndeterminate(true);
  window.setProgressAnimating(true);
}

// A failure trying again cannot mend: Close alone.
void showFailed(GtkDownloadWindow& window, DownloadStatus& status) {
  window.setProgressMax(1000.0);
  status.downloadFailed({FetchFailure::kServerStatus, 404, "HTTP status 404", kUrl});
}

// One it may: Close and Try Again.
void showTryAgain(GtkDownloadWindow&, DownloadStatus& status) {
  status.connecting(kUrl);
  status.downloadFailed({FetchFailure::kCannotReach, 0, "Could not connect", kUrl});
}

const std::map<std::string, std::function<void(GtkDownloadWindow&, DownloadStatus&)>> kStates = {
    {"downloading", showDownloading}, {"figures", showFigures},
    {"indeterminate", showIndeterminate}, {"connecting", showConnecting},
    {"initializing", showInitializing}, {"failed", showFailed},
    {"try-again", showTryAgain},
};

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
  auto state = argc > 1 ? kStates.find(argv[1]) : kStates.end();
  if (argc < 3 || state == kStates.end() || !gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "usage: %s STATE OUTPUT.png [SPLASH.png] (needs a display)\n", argv[0]);
    return 2;
  }
  GtkLoop loop;
  GtkDownloadWindow window(DownloadStatus::kTitle, DownloadStatus::kUntilStatus);
  DownloadStatus status(window, loop, [] { return 0.0; });
  status.reset();
  if (argc > 3) window.setSplash(argv[3], 400, 400);
  state->second(window, status);
  window.present();
  // Long enough for the first frames and a few pulses of the bar.
  loop.addTimer(0.7, [&loop] { loop.stop(); });
  loop.run();
  window.displayIfNeeded();
  return save(window.parts().window, argv[2]) ? 0 : 1;
}
