#include "display/gtk/window-gtk.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "display/gtk/splash-gtk.h"

namespace {

// Longest wait for the first frame when the window appears.
constexpr guint kPresentTimeoutMs = 1000;

gboolean setFlag(gpointer flag) {
  *static_cast<bool*>(flag) = true;
  return G_SOURCE_REMOVE;
}

// Runs the toolkit's own sources until |done| or the timeout.
void iterateUntil(const bool& done, guint timeoutMs) {
  bool timedOut = false;
  guint timer = g_timeout_add(timeoutMs, &setFlag, &timedOut);
  while (!done && !timedOut) g_main_context_iteration(nullptr, TRUE);
  if (!timedOut) g_source_remove(timer);
}

GtkWidget* withBottomMargin(GtkWidget* widget, int bottom) {
  gtk_widget_set_margin_bottom(widget, bottom);
  return widget;
}

// A smaller line under the status text; it keeps its room while hidden so
// that the window does not change size.
GtkLabel* newDetailLabel() {
  GtkLabel* label = GTK_LABEL(gtk_label_new(""));
  gtk_label_set_xalign(label, 0.0f);
  gtk_label_set_max_width_chars(label, 1);
  gtk_label_set_ellipsize(label, PANGO_ELLIPSIZE_END);
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_scale_new(PANGO_SCALE_SMALL));
  gtk_label_set_attributes(label, attributes);
  pango_attr_list_unref(attributes);
  gtk_style_context_add_class(gtk_widget_get_style_context(GTK_WIDGET(label)), "dim-label");
  gtk_widget_set_child_visible(GTK_WIDGET(label), FALSE);
  return label;
}

}  // namespace

void setApplicationIdentity(const std::string& applicationId, const std::string& name) {
  if (!applicationId.empty()) {
    g_set_prgname(applicationId.c_str());
    gdk_set_program_class(applicationId.c_str());
  }
  if (!name.empty()) g_set_application_name(name.c_str());
}

GtkDownloadWindow::GtkDownloadWindow(const std::string& title, const std::string& untilStatus)
    : window_(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL))) {
  gtk_window_set_title(window_, title.c_str());
  status_.setText(untilStatus);
  gtk_window_set_icon_name(window_, "system-software-install");
  gtk_window_set_resizable(window_, FALSE);
  // Centred again whenever the size changes, as when the splash arrives
  // after the window first appeared.
  gtk_window_set_position(window_, GTK_WIN_POS_CENTER_ALWAYS);
  gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_container_set_border_width(GTK_CONTAINER(window_), kPadding);
  gtk_container_add(GTK_CONTAINER(window_), buildContent());
  gtk_widget_set_can_default(GTK_WIDGET(cancel_), TRUE);
  gtk_window_set_default(window_, GTK_WIDGET(cancel_));
  gtk_window_set_focus(window_, GTK_WIDGET(cancel_));
  g_signal_connect(window_, "delete-event", G_CALLBACK(&GtkDownloadWindow::onDelete), this);
  g_signal_connect(cancel_, "clicked", G_CALLBACK(&GtkDownloadWindow::onCancel), this);
}

// The loop may not run again (the agent is waited for next), so the display
// is told at once to take the window away.
GtkDownloadWindow::~GtkDownloadWindow() {
  gtk_widget_destroy(GTK_WIDGET(window_));
  gdk_display_flush(gdk_display_get_default());
}

GtkWidget* GtkDownloadWindow::buildContent() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  splash_ = GTK_IMAGE(gtk_image_new());
  gtk_widget_set_no_show_all(GTK_WIDGET(splash_), TRUE);
  gtk_widget_set_size_request(GTK_WIDGET(progress_.bar()), kContentWidth, -1);
  gtk_box_pack_start(GTK_BOX(box), withBottomMargin(GTK_WIDGET(splash_), kPadding), FALSE, FALSE, 0);
  detail_ = newDetailLabel();
  gtk_box_pack_start(GTK_BOX(box), withBottomMargin(status_.widget(), kLabelGap / 4), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), withBottomMargin(GTK_WIDGET(detail_), kLabelGap), FALSE, FALSE,
                     0);
  gtk_box_pack_start(GTK_BOX(box), withBottomMargin(GTK_WIDGET(progress_.bar()), kPadding), FALSE,
                     FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), buildButtons(), FALSE, FALSE, 0);
  return box;
}

GtkWidget* GtkDownloadWindow::buildButtons() {
  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  cancel_ = GTK_BUTTON(gtk_button_new_with_mnemonic("_Cancel"));
  gtk_container_add(GTK_CONTAINER(buttons), GTK_WIDGET(cancel_));
  return buttons;
}

void GtkDownloadWindow::setIconFile(const std::string& path) {
  if (!path.empty()) gtk_window_set_icon_from_file(window_, path.c_str(), nullptr);
}

void GtkDownloadWindow::present() {
  bool drawn = false;
  gulong handler = g_signal_connect_after(window_, "draw",
                                          G_CALLBACK(&GtkDownloadWindow::onFirstDraw), &drawn);
  gtk_widget_show_all(GTK_WIDGET(window_));
  iterateUntil(drawn, kPresentTimeoutMs);
  g_signal_handler_disconnect(window_, handler);
}

void GtkDownloadWindow::setCloseHandler(std::function<void()> handler) {
  closeHandler_ = std::move(handler);
}

void GtkDownloadWindow::setSplash(const std::string& path, double width, double height) {
  showSplash(splash_, path, static_cast<int>(std::lround(width)),
             static_cast<int>(std::lround(height)));
  changed_ = true;
}

void GtkDownloadWindow::setStatusSingleLine(bool singleLine) {
  status_.setSingleLine(singleLine);
  changed_ = true;
}

void GtkDownloadWindow::setStatus(const std::string& text) { changed_ |= status_.setText(text); }

void GtkDownloadWindow::setStatusRed(bool red) {
  status_.setRed(red);
  changed_ = true;
}

void GtkDownloadWindow::setFiguresWording(FiguresWording wording) { wording_ = std::move(wording); }

void GtkDownloadWindow::setTransferFigures(const TransferFigures& figures) {
  std::string text = wording_.detail ? wording_.detail(figures) : "";
  bool shown = figures.received >= 0 && !text.empty();
  if (shown && text != gtk_label_get_text(detail_)) {
    gtk_label_set_text(detail_, text.c_str());
    changed_ = true;
  }
  if (shown == static_cast<bool>(gtk_widget_get_child_visible(GTK_WIDGET(detail_)))) return;
  gtk_widget_set_child_visible(GTK_WIDGET(detail_), shown);
  changed_ = true;
}

void GtkDownloadWindow::logLine(const std::string& line) {
  fprintf(stderr, "%s\n", line.c_str());
  fflush(stderr);
}

void GtkDownloadWindow::setProgressIndeterminate(bool indeterminate) {
  progress_.setIndeterminate(indeterminate);
  changed_ = true;
}

void GtkDownloadWindow::setProgressMax(double max) { changed_ |= progress_.setMax(max); }

double GtkDownloadWindow::progressMax() const { return progress_.max(); }

void GtkDownloadWindow::setProgressValue(double value) { changed_ |= progress_.setValue(value); }

void GtkDownloadWindow::incrementProgress(double delta) {
  changed_ |= progress_.increment(delta);
}

void GtkDownloadWindow::setProgressAnimating(bool animating) { progress_.setAnimating(animating); }

void GtkDownloadWindow::setFailureDetail(const std::string& cause, const std::string& advice) {
  std::string text = cause.empty() || advice.empty() ? cause + advice : cause + "\n" + advice;
  gtk_label_set_text(detail_, text.c_str());
  gtk_widget_set_child_visible(GTK_WIDGET(detail_), !text.empty());
  changed_ = true;
}

void GtkDownloadWindow::setControls(WindowControls controls) {
  gtk_button_set_label(cancel_, controls == WindowControls::kCancel ? "Cancel" : "Close");
  gtk_widget_set_sensitive(GTK_WIDGET(cancel_), TRUE);
  changed_ = true;
}

void GtkDownloadWindow::setCancelEnabled(bool enabled) {
  gtk_widget_set_sensitive(GTK_WIDGET(cancel_), enabled);
  changed_ = true;
}

// The frame clock would do the same on its next tick; doing it here puts
// the state on screen before the caller blocks, and unlike iterating the
// main context it cannot run the caller's timers or watches re-entrantly.
// Callers do this for every data chunk, hence the early return when none of
// the calls since the last time changed what is on screen.
void GtkDownloadWindow::displayIfNeeded() {
  GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window_));
  if (!changed_ || closed_ || surface == nullptr) return;
  changed_ = false;
  gtk_container_check_resize(GTK_CONTAINER(window_));
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gdk_window_process_updates(surface, TRUE);
  G_GNUC_END_IGNORE_DEPRECATIONS
  gdk_display_flush(gtk_widget_get_display(GTK_WIDGET(window_)));
}

void GtkDownloadWindow::close() {
  if (closed_) return;
  closed_ = true;
  progress_.setAnimating(false);
  gtk_widget_hide(GTK_WIDGET(window_));
  if (closeHandler_) closeHandler_();
}

GtkWindowParts GtkDownloadWindow::parts() const {
  return {window_, splash_, status_.label(), progress_.bar(), cancel_, detail_};
}

// The window stays alive (hidden) until its owner deletes it; the toolkit
// must not destroy it behind the owner's back.
gboolean GtkDownloadWindow::onDelete(GtkWidget*, GdkEvent*, gpointer self) {
  static_cast<GtkDownloadWindow*>(self)->close();
  return TRUE;
}

void GtkDownloadWindow::onCancel(GtkButton*, gpointer self) {
  static_cast<GtkDownloadWindow*>(self)->close();
}

gboolean GtkDownloadWindow::onFirstDraw(GtkWidget*, cairo_t*, gpointer done) {
  *static_cast<bool*>(done) = true;
  return FALSE;
}
