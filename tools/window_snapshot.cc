// Renders the download window in one of its states and saves it as a PNG:
//   gtk_window_snapshot STATE OUTPUT.png [SPLASH.png]
// or, with --check instead of OUTPUT.png, prints what a person finds on
// screen (the title, the text direction, and every shown text, each line
// after "ok" or "clipped") and exits 1 when a text does not show whole.
// STATE is one of kStates below. Every text is put on the window by the
// front end's own code, in the language of the environment's locale.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "display/gtk/loop-gtk.h"
#include "display/gtk/window-gtk.h"
#include "download/progress.h"
#include "download/status.h"
#include "util/translation.h"

namespace {

constexpr const char kUrl[] = "https://downloads.example.com/product/agent.zip";

// The front end's clock: each state sets the moments its figures come from,
// so that they read the same however long the window takes to appear.
double now = 0;

void showDownloading(GtkDownloadWindow&, DownloadStatus& status) {
  status.started({0, 50331648, "", ""});
  status.progress(21076377, 21076377);
}

// A download under way for a few seconds, with its figures under the text.
void showFigures(GtkDownloadWindow&, DownloadStatus& status) {
  status.started({0, 50331648, "", ""});
  now = 3.8;
  status.progress(21076377, 21076377);
}

// Nothing more for six seconds.
void showStalled(GtkDownloadWindow& window, DownloadStatus& status) {
  showFigures(window, status);
  now += 6;  // the once-a-second refresh finds it stalled too
  window.setTransferFigures({21076377, 50331648, 0, -1, true});
}

void showIndeterminate(GtkDownloadWindow&, DownloadStatus& status) {
  status.started({0, -1, "", ""});
  now = 4.86;
  status.progress(2100000, 2100000);
}

void showConnecting(GtkDownloadWindow&, DownloadStatus& status) { status.connecting(kUrl); }

void showWaiting(GtkDownloadWindow&, DownloadStatus& status) {
  status.started({0, 50331648, "", ""});
  status.waiting(FetchWait::kConnectionLost, 12);
}

void showUpdating(GtkDownloadWindow&, DownloadStatus& status) {
  status.updating(1000000, 21000000);
  status.progress(128000, 128000);
}

void showInitializing(GtkDownloadWindow&, DownloadStatus& status) { status.unpacking(); }

// A failure trying again cannot mend: Close alone.
void showFailed(GtkDownloadWindow&, DownloadStatus& status) {
  status.downloadFailed({FetchFailure::kServerStatus, 404, "HTTP status 404", kUrl});
}

// One it may: Close and Try Again.
void showTryAgain(GtkDownloadWindow&, DownloadStatus& status) {
  status.connecting(kUrl);
  status.downloadFailed({FetchFailure::kCannotReach, 0, "Could not connect", kUrl});
}

void showBusy(GtkDownloadWindow&, DownloadStatus& status) {
  status.downloadFailed({FetchFailure::kServerStatus, 502, "HTTP status 502", kUrl});
}

void showUnsigned(GtkDownloadWindow&, DownloadStatus& status) { status.signatureFailed(kUrl); }

void showNoSpace(GtkDownloadWindow&, DownloadStatus& status) {
  status.unpackFailed(true, "/home/someone/.cache/a-rather-long-product-name/installer");
}

const std::map<std::string, std::function<void(GtkDownloadWindow&, DownloadStatus&)>> kStates = {
    {"downloading", showDownloading}, {"figures", showFigures}, {"stalled", showStalled},
    {"indeterminate", showIndeterminate}, {"connecting", showConnecting},
    {"waiting", showWaiting}, {"updating", showUpdating}, {"initializing", showInitializing},
    {"failed", showFailed}, {"try-again", showTryAgain}, {"busy", showBusy},
    {"unsigned", showUnsigned}, {"no-space", showNoSpace},
};

// Every label a person can see, buttons' included.
void shownLabels(GtkWidget* widget, std::vector<GtkLabel*>* labels) {
  if (!gtk_widget_get_mapped(widget)) return;
  if (GTK_IS_LABEL(widget)) labels->push_back(GTK_LABEL(widget));
  if (GTK_IS_CONTAINER(widget))
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget* child, gpointer found) {
          shownLabels(child, static_cast<std::vector<GtkLabel*>*>(found));
        },
        labels);
}

// A text is cut when its layout ends in an ellipsis or needs more room
// than the label was given.
bool clipped(GtkLabel* label) {
  GtkAllocation room;
  gtk_widget_get_allocation(GTK_WIDGET(label), &room);
  PangoLayout* layout = gtk_label_get_layout(label);
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  return pango_layout_is_ellipsized(layout) || width > room.width || height > room.height;
}

int check(GtkWindow* window) {
  std::printf("title\t%s\ndirection\t%s\n", gtk_window_get_title(window),
              gtk_widget_get_direction(GTK_WIDGET(window)) == GTK_TEXT_DIR_RTL ? "rtl" : "ltr");
  std::vector<GtkLabel*> labels;
  shownLabels(GTK_WIDGET(window), &labels);
  int cut = 0;
  for (GtkLabel* label : labels) {
    bool short_ = clipped(label);
    cut += short_;
    std::istringstream lines(gtk_label_get_text(label));
    for (std::string line; std::getline(lines, line);)
      if (!line.empty()) std::printf("%s\t%s\n", short_ ? "clipped" : "ok", line.c_str());
  }
  return cut ? 1 : 0;
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
  auto state = argc > 1 ? kStates.find(argv[1]) : kStates.end();
  if (argc < 3 || state == kStates.end() || !gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "usage: %s STATE {OUTPUT.png [SPLASH.png] | --check} (needs a display)\n",
                 argv[0]);
    return 2;
  }
  initTranslations(SETUP_BUILD_DIR);
  GtkLoop loop;
  GtkDownloadWindow window(DownloadStatus::titleFor(""), _(DownloadStatus::kUntilStatus));
  DownloadStatus status(window, loop, [] { return now; });
  status.reset();
  if (argc > 3) window.setSplash(argv[3], 400, 400);
  state->second(window, status);
  window.present();
  // Long enough for the first frames and (in a picture) a few pulses of
  // the bar.
  bool checking = std::strcmp(argv[2], "--check") == 0;
  loop.addTimer(checking ? 0.2 : 0.7, [&loop] { loop.stop(); });
  loop.run();
  window.displayIfNeeded();
  if (checking) return check(window.parts().window);
  return save(window.parts().window, argv[2]) ? 0 : 1;
}
