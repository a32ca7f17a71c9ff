#ifndef SETUP_DISPLAY_GTK_PROXY_LOGIN_GTK_H_
#define SETUP_DISPLAY_GTK_PROXY_LOGIN_GTK_H_

#include <gtk/gtk.h>

#include <functional>
#include <string>

#include "display/window.h"

// A plain modal dialog over the download window that asks for a proxy's
// user name and password: the message (which names the proxy), the two
// fields, Cancel and Continue. Return continues from either field; Escape,
// Cancel and the close button cancel.
class ProxyLoginDialog {
 public:
  // Shows the dialog at once, worded by |words|, the user name field
  // focused. Once, after the dialog is hidden: |answered| gets what was
  // typed, from the loop (never inside the dialog's own event), or
  // |cancelled| runs.
  ProxyLoginDialog(GtkWindow* parent, const ProxyLoginWords& words, ProxyLoginAnswer answered,
                   std::function<void()> cancelled);
  // Destroys the dialog (an answer not yet delivered is dropped), the
  // fields emptied first.
  ~ProxyLoginDialog();
  ProxyLoginDialog(const ProxyLoginDialog&) = delete;
  ProxyLoginDialog& operator=(const ProxyLoginDialog&) = delete;

  // The real widgets, for tests.
  GtkWindow* window() const { return GTK_WINDOW(dialog_); }
  GtkEntry* userEntry() const { return user_; }
  GtkEntry* passwordEntry() const { return password_; }
  GtkLabel* message() const { return message_; }

 private:
  static void onResponse(GtkDialog* dialog, gint response, gpointer self);
  static gboolean deliver(gpointer self);
  void emptyFields();

  GtkWidget* dialog_ = nullptr;
  GtkEntry* user_ = nullptr;
  GtkEntry* password_ = nullptr;
  GtkLabel* message_ = nullptr;
  ProxyLoginAnswer answered_;
  std::function<void()> cancelled_;
  std::string typedUser_, typedPassword_;  // between the response and its delivery
  guint delivery_ = 0;
  bool responded_ = false;
};

#endif  // SETUP_DISPLAY_GTK_PROXY_LOGIN_GTK_H_
