#include "display/gtk/progress-gtk.h"

#include <algorithm>
#include <cmath>

ProgressBar::ProgressBar() : bar_(GTK_PROGRESS_BAR(gtk_progress_bar_new())) {
  gtk_progress_bar_set_pulse_step(bar_, 0.08);
  showFraction(true);
}

ProgressBar::~ProgressBar() {
  if (pulseTimer_ != 0) g_source_remove(pulseTimer_);
}

// Switching modes redraws at once: entering shows the block of an
// indeterminate bar (still until animated); leaving drops it even when the
// fraction itself did not change.
void ProgressBar::setIndeterminate(bool indeterminate) {
  if (indeterminate == indeterminate_) return;
  indeterminate_ = indeterminate;
  if (indeterminate_) {
    pulse();
  } else {
    showFraction(true);
  }
  updatePulse();
}

bool ProgressBar::setMax(double max) {
  max_ = max;
  return showFraction(false);
}

bool ProgressBar::setValue(double value) {
  value_ = value;
  return showFraction(false);
}

void ProgressBar::setAnimating(bool animating) {
  animating_ = animating;
  updatePulse();
}

gboolean ProgressBar::onPulse(gpointer data) {
  static_cast<ProgressBar*>(data)->pulse();
  return G_SOURCE_CONTINUE;
}

void ProgressBar::pulse() {
  gtk_progress_bar_pulse(bar_);
  ++pulses_;
}

double ProgressBar::fraction() const {
  if (!(max_ > 0)) return 0;
  return std::clamp(value_ / max_, 0.0, 1.0);
}

// Empty and full are always shown exactly, whatever the step, so a finished
// or failed download never looks one pixel short.
bool ProgressBar::showFraction(bool force) {
  if (indeterminate_) return false;
  double next = fraction();
  bool edge = (next == 0.0 || next == 1.0) && next != shown_;
  if (!force && !edge && std::fabs(next - shown_) < kVisibleStep) return false;
  shown_ = next;
  gtk_progress_bar_set_fraction(bar_, next);
  return true;
}

void ProgressBar::updatePulse() {
  bool wanted = indeterminate_ && animating_;
  if (wanted == pulsing()) return;
  if (wanted) {
    pulseTimer_ = g_timeout_add(kPulseMilliseconds, &ProgressBar::onPulse, this);
  } else {
    g_source_remove(pulseTimer_);
    pulseTimer_ = 0;
  }
}
