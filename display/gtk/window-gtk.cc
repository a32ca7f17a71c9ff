#include "display/gtk/window-gtk.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "display/gtk/splash-gtk.h"
#include "util/translation.h"

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

// A button's word from the program's catalogue, or where that has none, the
// desktop's own (GTK's catalogue), so that Cancel and Close read as in
// every other dialog of the desktop.
const char* buttonWord(const char* text) {
  const char* own = _(text);
  return own != text ? own : dgettext("gtk30", text);
}

GtkWidget* withBottomMargin(GtkWidget* widget, int bottom) {
  gtk_widget_set_margin_bottom(widget, bottom);
  return widget;
}

// A smaller line (or |lines| lines; 0: as many as the text has) of text
// under the status, as wide as the window lets it be.
GtkLabel* newSmallLabel(const char* text, int lines) {
  GtkLabel* label = GTK_LABEL(gtk_label_new(text));
  gtk_label_set_xalign(label, 0.0f);
  gtk_label_set_max_width_chars(label, 1);
  gtk_widget_set_hexpand(GTK_WIDGET(label), TRUE);
  if (lines > 0) gtk_label_set_ellipsize(label, PANGO_ELLIPSIZE_END);
  // Even one line wraps (cut to one): a wrapping label is as high as its
  // text, where GTK sizes a merely ellipsized one by the theme's font, too
  // low for a fallback font's taller lines (Chinese, say).
  if (lines > 0) {
    gtk_label_set_line_wrap(label, TRUE);
    gtk_label_set_line_wrap_mode(label, PANGO_WRAP_WORD_CHAR);
    gtk_label_set_lines(label, lines);
  }
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_scale_new(PANGO_SCALE_SMALL));
  gtk_label_set_attributes(label, attributes);
  pango_attr_list_unref(attributes);
  return label;
}

AtkObject* accessibleOf(gpointer widget) { return gtk_widget_get_accessible(GTK_WIDGET(widget)); }

}  // namespace

void setApplicationIdentity(const std::string& applicationId, const std::string& name) {
  if (!applicationId.empty()) {
    g_set_prgname(applicationId.c_str());
    gdk_set_program_class(applicationId.c_str());
  }
  if (!name.empty()) g_set_application_name(name.c_str());
}

GtkDownloadWindow::GtkDownloadWindow(const std::string& title, const std::string& untilStatus)
    : window_(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL))), title_(title) {
  gtk_window_set_title(window_, title.c_str());
  status_.setText(untilStatus);
  gtk_window_set_icon_name(window_, "system-software-install");
  gtk_window_set_resizable(window_, FALSE);
  // Where the window system lets a program ask (X11); a Wayland compositor
  // places windows itself, which is why the window keeps one size from the
  // moment it first appears.
  gtk_window_set_position(window_, GTK_WIN_POS_CENTER);
  gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_container_set_border_width(GTK_CONTAINER(window_), kPadding);
  gtk_container_add(GTK_CONTAINER(window_), buildContent());
  gtk_widget_set_can_default(GTK_WIDGET(cancel_), TRUE);
  gtk_widget_set_can_default(GTK_WIDGET(tryAgainButton_), TRUE);
  gtk_window_set_focus(window_, GTK_WIDGET(cancel_));
  describeForScreenReaders(title);
  g_signal_connect(window_, "delete-event", G_CALLBACK(&GtkDownloadWindow::onDelete), this);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(&GtkDownloadWindow::onKeyPress), this);
  g_signal_connect(cancel_, "clicked", G_CALLBACK(&GtkDownloadWindow::onCancel), this);
  g_signal_connect(tryAgainButton_, "clicked", G_CALLBACK(&GtkDownloadWindow::onTryAgain), this);
  g_signal_connect(splash_, "notify::scale-factor",
                   G_CALLBACK(&GtkDownloadWindow::onScaleChanged), this);
}

// The loop may not run again (the agent is waited for next), so the display
// is told at once to take the window away.
GtkDownloadWindow::~GtkDownloadWindow() {
  login_.reset();  // before the window it stands over
  if (showSoon_ != 0) g_source_remove(showSoon_);
  gtk_widget_destroy(GTK_WIDGET(window_));
  gdk_display_flush(gdk_display_get_default());
}

GtkWidget* GtkDownloadWindow::buildContent() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  splash_ = GTK_IMAGE(gtk_image_new());
  gtk_widget_set_no_show_all(GTK_WIDGET(splash_), TRUE);
  gtk_widget_set_size_request(GTK_WIDGET(progress_.bar()), kContentWidth, -1);
  const std::pair<GtkWidget*, int> rows[] = {
      {GTK_WIDGET(splash_), kPadding},
      {buildText(), kLabelGap},
      {GTK_WIDGET(progress_.bar()), kPadding},
      {buildButtons(), 0},
  };
  for (const auto& [widget, gap] : rows)
    gtk_box_pack_start(GTK_BOX(box), withBottomMargin(widget, gap), FALSE, FALSE, 0);
  return box;
}

// The status, and under it the figures or a failure's cause and advice,
// next to the bar they describe. A homogeneous stack is as high as its
// highest child, shown or not: a placeholder of two status lines and the
// failure's lines holds the room, so that the window keeps its size
// whatever the texts (a window that grows may grow off the screen).
GtkWidget* GtkDownloadWindow::buildText() {
  GtkWidget* text = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_valign(text, GTK_ALIGN_END);
  detail_ = newSmallLabel("", 1);
  dim_ = std::make_unique<DimText>(detail_);
  gtk_widget_set_child_visible(GTK_WIDGET(detail_), FALSE);
  // Shown and hidden here alone: showing the window must not bring back
  // the figures a failure took the place of.
  gtk_widget_set_no_show_all(GTK_WIDGET(detail_), TRUE);
  gtk_widget_show(GTK_WIDGET(detail_));
  failure_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_no_show_all(failure_, TRUE);
  advice_ = newSmallLabel("", kFailureLines);
  more_ = newSmallLabel("", kFailureLines);
  for (GtkLabel* label : {advice_, more_})
    gtk_box_pack_start(GTK_BOX(failure_), GTK_WIDGET(label), FALSE, FALSE, 0);
  GtkWidget* status = GTK_WIDGET(status_.label());
  gtk_box_pack_start(GTK_BOX(text), withBottomMargin(status, kLabelGap / 4), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(text), GTK_WIDGET(detail_), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(text), failure_, FALSE, FALSE, 0);

  GtkWidget* room = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  std::string statusLines(StatusLabel::kMostLines - 1, '\n');
  gtk_box_pack_start(GTK_BOX(room), withBottomMargin(gtk_label_new(statusLines.c_str()), kLabelGap / 4),
                     FALSE, FALSE, 0);
  std::string failureLines(2 * kFailureLines - 1, '\n');
  gtk_box_pack_start(GTK_BOX(room), GTK_WIDGET(newSmallLabel(failureLines.c_str(), 0)), FALSE,
                     FALSE, 0);

  GtkWidget* stack = gtk_stack_new();
  gtk_stack_set_homogeneous(GTK_STACK(stack), TRUE);
  gtk_container_add(GTK_CONTAINER(stack), text);
  gtk_container_add(GTK_CONTAINER(stack), room);
  gtk_stack_set_visible_child(GTK_STACK(stack), text);
  return stack;
}

// Try Again goes left of Close, so that Close stays where Cancel was.
GtkWidget* GtkDownloadWindow::buildButtons() {
  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_box_set_spacing(GTK_BOX(buttons), kLabelGap);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  tryAgainButton_ = GTK_BUTTON(gtk_button_new_with_mnemonic(_("_Try Again")));
  gtk_widget_set_no_show_all(GTK_WIDGET(tryAgainButton_), TRUE);
  cancel_ = GTK_BUTTON(gtk_button_new_with_mnemonic(buttonWord(N_("_Cancel"))));
  gtk_container_add(GTK_CONTAINER(buttons), GTK_WIDGET(tryAgainButton_));
  gtk_container_add(GTK_CONTAINER(buttons), GTK_WIDGET(cancel_));
  return buttons;
}

// What a screen reader finds: a dialog named by its title, whose progress
// bar bears the same name and is described by the status and figures, a
// splash named after the product, and a failure that is an alert, read out
// as it appears.
void GtkDownloadWindow::describeForScreenReaders(const std::string& title) {
  atk_object_set_role(accessibleOf(window_), ATK_ROLE_DIALOG);
  AtkObject* bar = accessibleOf(progress_.bar());
  atk_object_set_name(bar, title.c_str());
  for (GtkLabel* label : {status_.label(), detail_}) {
    atk_object_add_relationship(bar, ATK_RELATION_DESCRIBED_BY, accessibleOf(label));
    atk_object_add_relationship(accessibleOf(label), ATK_RELATION_DESCRIPTION_FOR, bar);
  }
  atk_object_set_role(accessibleOf(failure_), ATK_ROLE_ALERT);
  setProductName("");
}

void GtkDownloadWindow::setIconFile(const std::string& path) {
  if (!path.empty()) gtk_window_set_icon_from_file(window_, path.c_str(), nullptr);
}

void GtkDownloadWindow::setProductName(const std::string& name) {
  atk_object_set_name(accessibleOf(splash_), (name.empty() ? title_ : name).c_str());
}

void GtkDownloadWindow::show() {
  if (showSoon_ != 0) g_source_remove(showSoon_);
  showSoon_ = 0;
  gtk_widget_show_all(GTK_WIDGET(window_));
  changed_ = true;
}

void GtkDownloadWindow::present() {
  bool drawn = false;
  gulong handler = g_signal_connect_after(window_, "draw",
                                          G_CALLBACK(&GtkDownloadWindow::onFirstDraw), &drawn);
  show();
  iterateUntil(drawn, kPresentTimeoutMs);
  g_signal_handler_disconnect(window_, handler);
}

void GtkDownloadWindow::presentOnFirstDisplay() {
  if (showSoon_ != 0 || closed_ || gtk_widget_get_visible(GTK_WIDGET(window_))) return;
  showSoon_ = g_idle_add_full(G_PRIORITY_DEFAULT, &GtkDownloadWindow::onShowSoon, this, nullptr);
}

void GtkDownloadWindow::setCloseHandler(std::function<void()> handler) {
  closeHandler_ = std::move(handler);
}

void GtkDownloadWindow::setSplash(const std::string& path, double width, double height) {
  splashPath_ = path;
  splashWidth_ = static_cast<int>(std::lround(width));
  splashHeight_ = static_cast<int>(std::lround(height));
  showSplash(splash_, splashPath_, splashWidth_, splashHeight_);
  changed_ = true;
}

void GtkDownloadWindow::setStatusSingleLine(bool singleLine) {
  status_.setSingleLine(singleLine);
  changed_ = true;
}

void GtkDownloadWindow::setStatus(const std::string& text) {
  if (!status_.setText(text)) return;
  changed_ = true;
  if (gtk_widget_get_visible(failure_)) announceFailure();
}

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

// Hidden, the bar keeps its room (the window keeps its size) and is no
// longer on screen for a screen reader either.
void GtkDownloadWindow::setProgressShown(bool shown) {
  GtkWidget* bar = GTK_WIDGET(progress_.bar());
  if (shown == static_cast<bool>(gtk_widget_get_child_visible(bar))) return;
  gtk_widget_set_child_visible(bar, shown);
  changed_ = true;
}

// The advice and the rest take the figures' place. A screen reader
// announces an alert as it comes into view (its "showing" state turning
// on), so a changed failure is taken away and shown anew.
void GtkDownloadWindow::setFailureDetail(const std::string& advice, const std::string& more) {
  bool shown = !advice.empty() || !more.empty();
  if (advice == gtk_label_get_text(advice_) && more == gtk_label_get_text(more_) &&
      shown == static_cast<bool>(gtk_widget_get_visible(failure_)))
    return;
  gtk_widget_hide(failure_);
  gtk_label_set_text(advice_, advice.c_str());
  gtk_label_set_text(more_, more.c_str());
  gtk_widget_set_visible(GTK_WIDGET(advice_), !advice.empty());
  gtk_widget_set_visible(GTK_WIDGET(more_), !more.empty());
  gtk_widget_set_visible(GTK_WIDGET(detail_), !shown);
  if (shown) {
    announceFailure();
    gtk_widget_show(failure_);
  }
  changed_ = true;
}

// The alert is read out whole: the red cause, the advice, the rest.
void GtkDownloadWindow::announceFailure() {
  std::string spoken = status_.text();
  for (GtkLabel* label : {advice_, more_})
    if (*gtk_label_get_text(label)) spoken = spoken + "\n" + gtk_label_get_text(label);
  atk_object_set_name(accessibleOf(failure_), spoken.c_str());
}

// After a failure the helpful button is the default one, which Return
// presses, and has the focus: Try Again where it is offered, else Close.
// While Cancel is shown there is no default.
void GtkDownloadWindow::setControls(WindowControls controls) {
  controls_ = controls;
  gtk_button_set_label(cancel_, buttonWord(controls == WindowControls::kCancel ? N_("_Cancel")
                                                                        : N_("_Close")));
  gtk_widget_set_sensitive(GTK_WIDGET(cancel_), TRUE);
  bool tryAgain = controls == WindowControls::kCloseOrTryAgain;
  GtkWidget* button = GTK_WIDGET(tryAgainButton_);
  gtk_widget_set_visible(button, tryAgain);
  GtkWidget* helpful = tryAgain ? button : GTK_WIDGET(cancel_);
  gtk_window_set_default(window_, controls == WindowControls::kCancel ? nullptr : helpful);
  gtk_widget_grab_focus(helpful);
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
  if (showSoon_ != 0) show();
  GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window_));
  if (!changed_ || closed_ || surface == nullptr) return;
  changed_ = false;
  gtk_container_check_resize(GTK_CONTAINER(window_));
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gdk_window_process_updates(surface, TRUE);
  G_GNUC_END_IGNORE_DEPRECATIONS
  gdk_display_flush(gtk_widget_get_display(GTK_WIDGET(window_)));
}

bool GtkDownloadWindow::askProxyLogin(const ProxyLoginWords& words, ProxyLoginAnswer answer) {
  if (closed_) return false;
  if (showSoon_ != 0) show();  // a dialog needs its window on screen
  login_ = std::make_unique<ProxyLoginDialog>(window_, words, std::move(answer),
                                              [this] { closeByPerson(); });
  return true;
}

void GtkDownloadWindow::close() {
  if (closed_) return;
  closed_ = true;
  if (showSoon_ != 0) g_source_remove(showSoon_);
  showSoon_ = 0;
  progress_.setAnimating(false);
  gtk_widget_hide(GTK_WIDGET(window_));
  if (closeHandler_) closeHandler_();
}

GtkWindowParts GtkDownloadWindow::parts() const {
  return {window_, splash_, status_.label(), progress_.bar(), cancel_, tryAgainButton_, detail_,
          failure_, advice_, more_};
}

// The window stays alive (hidden) until its owner deletes it; the toolkit
// must not destroy it behind the owner's back.
gboolean GtkDownloadWindow::onDelete(GtkWidget*, GdkEvent*, gpointer self) {
  static_cast<GtkDownloadWindow*>(self)->closeByPerson();
  return TRUE;
}

// Escape presses Cancel or Close, as in any dialog, and does nothing while
// that button is off. Return never cancels: while Cancel is shown it is
// taken here, before the focused button could take it.
gboolean GtkDownloadWindow::onKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) {
  auto* window = static_cast<GtkDownloadWindow*>(self);
  bool enter = event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter ||
               event->keyval == GDK_KEY_ISO_Enter;
  if (enter) return window->controls_ == WindowControls::kCancel;
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  GtkWidget* button = GTK_WIDGET(window->cancel_);
  if (gtk_widget_is_sensitive(button)) gtk_widget_activate(button);
  return TRUE;
}

void GtkDownloadWindow::onCancel(GtkButton*, gpointer self) {
  static_cast<GtkDownloadWindow*>(self)->closeByPerson();
}

// Closed while Cancel was shown, the run was cancelled; after a failure it
// was only closed.
void GtkDownloadWindow::closeByPerson() {
  if (!closed_) cancelled_ = controls_ == WindowControls::kCancel;
  close();
}

// Cancel is back before the handler runs, so that a second click cannot
// ask twice.
void GtkDownloadWindow::onTryAgain(GtkButton*, gpointer self) {
  auto* window = static_cast<GtkDownloadWindow*>(self);
  window->setControls(WindowControls::kCancel);
  if (window->tryAgain_) window->tryAgain_();
}

// Moved to a display of another scale: the splash is decoded again for it.
void GtkDownloadWindow::onScaleChanged(GObject*, GParamSpec*, gpointer self) {
  auto* window = static_cast<GtkDownloadWindow*>(self);
  if (window->splashPath_.empty()) return;
  showSplash(window->splash_, window->splashPath_, window->splashWidth_, window->splashHeight_);
}

gboolean GtkDownloadWindow::onShowSoon(gpointer self) {
  auto* window = static_cast<GtkDownloadWindow*>(self);
  window->showSoon_ = 0;
  window->show();
  return G_SOURCE_REMOVE;
}

gboolean GtkDownloadWindow::onFirstDraw(GtkWidget*, cairo_t*, gpointer done) {
  *static_cast<bool*>(done) = true;
  return FALSE;
}
