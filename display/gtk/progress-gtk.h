#ifndef SETUP_DISPLAY_GTK_PROGRESS_GTK_H_
#define SETUP_DISPLAY_GTK_PROGRESS_GTK_H_

#include <gtk/gtk.h>

// The progress bar of the download window. Keeps the model (value, max,
// modes) itself and touches the widget only when a person could see the
// difference, so callers may report every data chunk.
class ProgressBar {
 public:
  // Smallest change of the fraction worth a redraw.
  static constexpr double kVisibleStep = 1.0 / 1000.0;
  // Time between two pulses of an indeterminate bar.
  static constexpr guint kPulseMilliseconds = 100;

  // Creates the bar widget; the caller packs it (the container owns it).
  ProgressBar();
  // Stops the pulse timer.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  GtkProgressBar* bar() const { return bar_; }

  // An indeterminate bar shows a moving (or, not animating, still) block
  // instead of the fraction.
  void setIndeterminate(bool indeterminate);
  // The fraction shown is value / max, clamped to 0..1; 0 when max <= 0.
  // These return whether the bar on screen changed.
  bool setMax(double max);
  double max() const { return max_; }
  bool setValue(double value);
  bool increment(double delta) { return setValue(value_ + delta); }
  // An indeterminate bar pulses while animating; a determinate one ignores it.
  void setAnimating(bool animating);

  // True while the pulse timer runs.
  bool pulsing() const { return pulseTimer_ != 0; }
  // How many pulses the bar has been given so far.
  unsigned pulses() const { return pulses_; }

 private:
  static gboolean onPulse(gpointer data);
  void pulse();
  double fraction() const;
  bool showFraction(bool force);
  void updatePulse();

  GtkProgressBar* bar_;
  double max_ = 0;
  double value_ = 0;
  double shown_ = -1;  // fraction on screen; -1: none yet
  bool indeterminate_ = false;
  bool animating_ = false;
  guint pulseTimer_ = 0;
  unsigned pulses_ = 0;
};

#endif  // SETUP_DISPLAY_GTK_PROGRESS_GTK_H_
