#include "display/gtk/proxy_login-gtk.h"

#include <string.h>

namespace {

GtkEntry* fieldIn(GtkGrid* grid, int row, const std::string& label, bool secret) {
  GtkWidget* name = gtk_label_new_with_mnemonic(label.c_str());
  gtk_widget_set_halign(name, GTK_ALIGN_END);
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(entry), !secret);
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  gtk_widget_set_hexpand(entry, TRUE);
  gtk_label_set_mnemonic_widget(GTK_LABEL(name), entry);
  gtk_grid_attach(grid, name, 0, row, 1, 1);
  gtk_grid_attach(grid, entry, 1, row, 1, 1);
  return GTK_ENTRY(entry);
}

void wipeString(std::string& secret) {
  if (!secret.empty()) explicit_bzero(&secret[0], secret.size());
  secret.clear();
}

}  // namespace

ProxyLoginDialog::ProxyLoginDialog(GtkWindow* parent, const ProxyLoginWords& words,
                                   ProxyLoginAnswer answered, std::function<void()> cancelled)
    : answered_(std::move(answered)), cancelled_(std::move(cancelled)) {
  dialog_ = gtk_dialog_new_with_buttons(words.title.c_str(), parent,
                                        GTK_DIALOG_MODAL,
                                        words.cancel.c_str(), GTK_RESPONSE_CANCEL,
                                        words.proceed.c_str(), GTK_RESPONSE_OK, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog_), GTK_RESPONSE_OK);
  gtk_window_set_resizable(GTK_WINDOW(dialog_), FALSE);
  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog_));
  gtk_container_set_border_width(GTK_CONTAINER(content), 12);
  gtk_box_set_spacing(GTK_BOX(content), 12);
  message_ = GTK_LABEL(gtk_label_new(words.message.c_str()));
  gtk_label_set_line_wrap(message_, TRUE);
  gtk_label_set_max_width_chars(message_, 50);
  gtk_label_set_xalign(message_, 0);
  gtk_box_pack_start(GTK_BOX(content), GTK_WIDGET(message_), FALSE, FALSE, 0);
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
  user_ = fieldIn(GTK_GRID(grid), 0, words.user, false);
  password_ = fieldIn(GTK_GRID(grid), 1, words.password, true);
  gtk_box_pack_start(GTK_BOX(content), grid, FALSE, FALSE, 0);
  g_signal_connect(dialog_, "response", G_CALLBACK(&ProxyLoginDialog::onResponse), this);
  gtk_widget_show_all(dialog_);
  gtk_widget_grab_focus(GTK_WIDGET(user_));
  gtk_window_present(GTK_WINDOW(dialog_));
}

ProxyLoginDialog::~ProxyLoginDialog() {
  if (delivery_ != 0) g_source_remove(delivery_);
  wipeString(typedUser_);
  wipeString(typedPassword_);
  emptyFields();
  gtk_widget_destroy(dialog_);
}

// GTK's entry buffer overwrites the text it lets go of.
void ProxyLoginDialog::emptyFields() {
  gtk_entry_set_text(user_, "");
  gtk_entry_set_text(password_, "");
}

void ProxyLoginDialog::onResponse(GtkDialog*, gint response, gpointer self) {
  auto* dialog = static_cast<ProxyLoginDialog*>(self);
  if (dialog->responded_) return;
  dialog->responded_ = true;
  if (response == GTK_RESPONSE_OK) {
    dialog->typedUser_ = gtk_entry_get_text(dialog->user_);
    dialog->typedPassword_ = gtk_entry_get_text(dialog->password_);
  }
  dialog->emptyFields();
  gtk_widget_hide(dialog->dialog_);
  if (response != GTK_RESPONSE_OK) {
    if (dialog->cancelled_) dialog->cancelled_();
    return;
  }
  dialog->delivery_ = g_idle_add(&ProxyLoginDialog::deliver, dialog);
}

// The receiver may ask again, replacing this dialog: nothing of it is
// touched after the answer.
gboolean ProxyLoginDialog::deliver(gpointer self) {
  auto* dialog = static_cast<ProxyLoginDialog*>(self);
  dialog->delivery_ = 0;
  std::string user, password;
  user.swap(dialog->typedUser_);
  password.swap(dialog->typedPassword_);
  ProxyLoginAnswer answered = std::move(dialog->answered_);
  answered(user, password);
  wipeString(user);
  wipeString(password);
  return G_SOURCE_REMOVE;
}
