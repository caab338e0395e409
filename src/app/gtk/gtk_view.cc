#include "app/gtk/gtk_view.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace halv {
namespace Updater {
namespace {

#include "app/gtk/window_icon.inc"

// A posted task and the flag of the view it was posted to.
struct PostedTask {
  std::function<void()> task;
  std::shared_ptr<std::atomic<bool>> open;
};

gboolean RunPostedTask(gpointer data) {
  auto* posted = static_cast<PostedTask*>(data);
  if (posted->open->load()) posted->task();
  return G_SOURCE_REMOVE;
}

void DeletePostedTask(gpointer data) { delete static_cast<PostedTask*>(data); }

// The error box's Retry button; any other response dismisses the box.
constexpr gint kRetryResponse = 1;

// A label that wraps at the width of the window instead of widening it.
GtkWidget* NewWrappingLabel(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  return label;
}

// The byte ranges of `text` that a line must not break: every occurrence of `name`, and in Korean
// every run of Hangul (syllables and jamo), which Korean writing breaks only at spaces.
std::vector<std::pair<std::size_t, std::size_t>> UnbreakableRanges(const std::string& text,
                                                                   const std::string& name,
                                                                   bool korean) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  if (name.find(' ') != std::string::npos) {
    for (std::size_t at = text.find(name); at != std::string::npos;
         at = text.find(name, at + name.size())) {
      ranges.emplace_back(at, at + name.size());
    }
  }
  if (!korean) return ranges;
  std::size_t runStart = std::string::npos;
  for (std::size_t at = 0; at <= text.size();) {
    std::uint32_t code = 0;
    std::size_t length = 1;
    if (at < text.size()) {
      const auto lead = static_cast<unsigned char>(text[at]);
      length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      // Hangul lies in three-byte sequences; nothing else needs decoding here.
      if (length == 3 && at + 2 < text.size()) {
        code = (lead & 0x0Fu) << 12 | (static_cast<unsigned char>(text[at + 1]) & 0x3Fu) << 6 |
               (static_cast<unsigned char>(text[at + 2]) & 0x3Fu);
      }
    }
    const bool hangul = (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0x1100 && code <= 0x11FF) ||
                        (code >= 0x3130 && code <= 0x318F);
    if (hangul && runStart == std::string::npos) runStart = at;
    if (!hangul && runStart != std::string::npos) {
      ranges.emplace_back(runStart, at);
      runStart = std::string::npos;
    }
    at += length;
  }
  return ranges;
}

void SetShown(GtkWidget* widget, bool shown) {
  gtk_widget_set_visible(widget, shown);
  gtk_widget_set_sensitive(widget, shown);
}

}  // namespace

GtkView::GtkView() : open_(std::make_shared<std::atomic<bool>>(true)) {}

GtkView::~GtkView() {
  open_->store(false);
  StopPulse();
  DestroyWidgets();
}

void GtkView::Post(std::function<void()> task) {
  if (!open_->load()) return;
  // Default-idle priority: after GTK's own resizing and redrawing, so a task sees the window as
  // the user does.
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, RunPostedTask, new PostedTask{std::move(task), open_},
                  DeletePostedTask);
}

void GtkView::SetListener(ViewListener* listener) { listener_ = listener; }

void GtkView::Open(const std::string& title) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  widgets_.window = window;
  gtk_window_set_title(GTK_WINDOW(window), title.c_str());
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_widget_set_size_request(window, kGtkWindowWidth, -1);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GdkPixbuf* icon = gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kWindowIcon));
  if (icon != nullptr) {
    gtk_window_set_icon(GTK_WINDOW(window), icon);
    g_object_unref(icon);
  }
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), this);
  g_signal_connect(window, "key-press-event", G_CALLBACK(OnKey), this);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_container_set_border_width(GTK_CONTAINER(box), 10);
  gtk_container_add(GTK_CONTAINER(window), box);

  widgets_.heading = NewWrappingLabel("");
  gtk_box_pack_start(GTK_BOX(box), widgets_.heading, FALSE, FALSE, 0);
  widgets_.prompt = NewWrappingLabel("");
  gtk_box_pack_start(GTK_BOX(box), widgets_.prompt, FALSE, FALSE, 0);
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
  widgets_.languages = gtk_combo_box_text_new();
  gtk_widget_set_hexpand(widgets_.languages, TRUE);
  gtk_box_pack_start(GTK_BOX(row), widgets_.languages, TRUE, TRUE, 0);
  widgets_.confirm = gtk_button_new_with_label("");
  gtk_widget_set_can_default(widgets_.confirm, TRUE);
  g_signal_connect(widgets_.confirm, "clicked", G_CALLBACK(OnConfirm), this);
  gtk_box_pack_start(GTK_BOX(row), widgets_.confirm, FALSE, FALSE, 0);

  widgets_.progress = gtk_progress_bar_new();
  // The percentage goes on the bar; its line is there from the start, empty.
  gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(widgets_.progress), TRUE);
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(widgets_.progress), "");
  gtk_box_pack_start(GTK_BOX(box), widgets_.progress, FALSE, FALSE, 0);
  widgets_.pulse = gtk_progress_bar_new();
  gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(widgets_.pulse), 0.1);
  gtk_box_pack_start(GTK_BOX(box), widgets_.pulse, FALSE, FALSE, 0);
  widgets_.size = NewWrappingLabel("");
  gtk_box_pack_start(GTK_BOX(box), widgets_.size, FALSE, FALSE, 0);
  widgets_.status = NewWrappingLabel("");
  gtk_box_pack_start(GTK_BOX(box), widgets_.status, FALSE, FALSE, 0);
  widgets_.cancel = gtk_button_new_with_label("");
  gtk_widget_set_halign(widgets_.cancel, GTK_ALIGN_END);
  g_signal_connect(widgets_.cancel, "clicked", G_CALLBACK(OnCancel), this);
  gtk_box_pack_start(GTK_BOX(box), widgets_.cancel, FALSE, FALSE, 0);

  gtk_widget_show_all(box);
  gtk_window_set_default(GTK_WINDOW(window), widgets_.confirm);
  // The window is as tall from the start as the progress view with a status of two lines, so
  // that it does not jump when the views and their texts change.
  SetShown(widgets_.prompt, false);
  SetShown(gtk_widget_get_parent(widgets_.languages), false);
  SetShown(widgets_.pulse, false);
  SetText(widgets_.heading, "Xg", true);
  SetText(widgets_.size, "Xg");
  SetText(widgets_.status, "Xg\nXg");
  SetText(widgets_.cancel, "Xg");
  KeepHeight();
  SetText(widgets_.heading, "");
  SetText(widgets_.size, "");
  SetText(widgets_.status, "");
  SetShown(widgets_.size, false);
  SetShown(widgets_.cancel, false);
  gtk_widget_show(window);
}

void GtkView::KeepHeight() {
  GtkWidget* box = gtk_bin_get_child(GTK_BIN(widgets_.window));
  int minimum = 0, natural = 0;
  gtk_widget_get_preferred_height_for_width(box, kGtkWindowWidth, &minimum, &natural);
  if (natural <= height_) return;
  height_ = natural;
  gtk_widget_set_size_request(box, -1, height_);
}

void GtkView::SetTitle(const std::string& title) {
  if (widgets_.window != nullptr) gtk_window_set_title(GTK_WINDOW(widgets_.window), title.c_str());
}

void GtkView::SetLanguage(const std::string& language) {
  language_ = language;
  if (widgets_.window == nullptr) return;
  // A script's lines may be taller than Latin ones: two of them are kept room for as well.
  const std::string shown = gtk_label_get_text(GTK_LABEL(widgets_.status));
  SetText(widgets_.status, "Xg\nXg");
  KeepHeight();
  SetText(widgets_.status, shown);
}

void GtkView::SetText(GtkWidget* widget, const std::string& text, bool bold) {
  if (GTK_IS_BUTTON(widget)) {
    gtk_button_set_label(GTK_BUTTON(widget), text.c_str());
    widget = gtk_bin_get_child(GTK_BIN(widget));
    if (!GTK_IS_LABEL(widget)) return;
  }
  gtk_label_set_text(GTK_LABEL(widget), text.c_str());
  PangoAttrList* attributes = pango_attr_list_new();
  // Pango reads "zh_CN" as "zh-cn"; English is the catalogs' own language.
  pango_attr_list_insert(attributes, pango_attr_language_new(pango_language_from_string(
                                         language_.empty() ? "en" : language_.c_str())));
  if (bold) pango_attr_list_insert(attributes, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  for (const auto& [start, end] : UnbreakableRanges(text, name_, language_ == "ko")) {
    PangoAttribute* keep = pango_attr_allow_breaks_new(FALSE);
    keep->start_index = static_cast<guint>(start);
    keep->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attributes, keep);
  }
  gtk_label_set_attributes(GTK_LABEL(widget), attributes);
  pango_attr_list_unref(attributes);
}

void GtkView::ShowHeading(const std::string& name, const std::string& cancel) {
  if (widgets_.window == nullptr) return;
  name_ = name;
  SetText(widgets_.heading, name, true);
  SetText(widgets_.cancel, cancel);
  SetShown(widgets_.cancel, true);
  KeepHeight();
}

void GtkView::ShowLanguageChoice(const LanguageChoice& choice) {
  if (widgets_.window == nullptr) return;
  SetText(widgets_.prompt, choice.prompt);
  SetText(widgets_.confirm, choice.confirm);
  GtkComboBoxText* list = GTK_COMBO_BOX_TEXT(widgets_.languages);
  gtk_combo_box_text_remove_all(list);
  for (const std::string& name : choice.names) gtk_combo_box_text_append_text(list, name.c_str());
  gtk_combo_box_set_active(GTK_COMBO_BOX(list), 0);
  SetShown(widgets_.prompt, true);
  SetShown(gtk_widget_get_parent(widgets_.languages), true);
  SetShown(widgets_.languages, true);
  SetShown(widgets_.confirm, true);
  SetShown(widgets_.progress, false);
  SetShown(widgets_.size, false);
  SetShown(widgets_.status, false);
  gtk_widget_grab_focus(widgets_.languages);
  KeepHeight();
}

void GtkView::ShowProgress(const std::string& statusText) {
  if (widgets_.window == nullptr) return;
  SetShown(widgets_.prompt, false);
  SetShown(gtk_widget_get_parent(widgets_.languages), false);
  SetShown(widgets_.progress, true);
  SetShown(widgets_.status, true);
  SetShown(widgets_.size, false);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(widgets_.progress), 0.0);
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(widgets_.progress), "");
  SetText(widgets_.status, statusText);
  KeepHeight();
}

void GtkView::SetProgress(int percent, const std::string& percentText, const std::string& sizeText,
                          const std::string& statusText) {
  if (widgets_.window == nullptr) return;
  const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(widgets_.progress), clamped / 100.0);
  gtk_progress_bar_set_text(
      GTK_PROGRESS_BAR(widgets_.progress),
      (percentText.empty() ? std::to_string(clamped) + "%" : percentText).c_str());
  SetText(widgets_.size, sizeText);
  SetShown(widgets_.size, !sizeText.empty());
  SetText(widgets_.status, statusText);
  KeepHeight();
}

void GtkView::ShowLaunching(const std::string& statusText) {
  if (widgets_.window == nullptr) return;
  SetShown(widgets_.progress, false);
  SetShown(widgets_.size, false);
  SetShown(widgets_.pulse, true);
  SetText(widgets_.status, statusText);
  KeepHeight();
  if (pulseSource_ == 0) pulseSource_ = g_timeout_add(100, OnPulse, this);
}

void GtkView::ShowError(const std::string& caption, const std::string& text,
                        const std::string& retry, const std::string& close) {
  if (quit_ || widgets_.errorBox != nullptr) return;
  GtkWidget* box = gtk_dialog_new();
  widgets_.errorBox = box;
  gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
  gtk_window_set_modal(GTK_WINDOW(box), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(box), FALSE);
  if (widgets_.window != nullptr) {
    gtk_window_set_transient_for(GTK_WINDOW(box), GTK_WINDOW(widgets_.window));
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER_ON_PARENT);
  } else {
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
  }
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(row), 12);
  // GTK 3.12 and later show no icon in a message box unless one is put there.
  GtkWidget* icon = gtk_image_new_from_icon_name("dialog-error", GTK_ICON_SIZE_DIALOG);
  gtk_widget_set_valign(icon, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(row), icon, FALSE, FALSE, 0);
  widgets_.errorText = gtk_label_new("");
  SetText(widgets_.errorText, text);
  gtk_label_set_line_wrap(GTK_LABEL(widgets_.errorText), TRUE);
  // Texts without blanks (Thai, Chinese, Japanese) would otherwise wrap at every syllable.
  gtk_label_set_width_chars(GTK_LABEL(widgets_.errorText), 40);
  gtk_label_set_max_width_chars(GTK_LABEL(widgets_.errorText), 50);
  gtk_label_set_xalign(GTK_LABEL(widgets_.errorText), 0.0f);
  gtk_box_pack_start(GTK_BOX(row), widgets_.errorText, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(box))), row, TRUE, TRUE, 0);
  // Retry first: GTK puts the last button added at the right edge, where Close belongs. Both say
  // what they do in the chosen language, beside the message in it (a stock OK would speak the
  // desktop's language).
  if (!retry.empty()) {
    widgets_.retry = gtk_dialog_add_button(GTK_DIALOG(box), "", kRetryResponse);
    SetText(widgets_.retry, retry);
  }
  widgets_.close = gtk_dialog_add_button(GTK_DIALOG(box), "", GTK_RESPONSE_CLOSE);
  SetText(widgets_.close, close);
  gtk_dialog_set_default_response(GTK_DIALOG(box), GTK_RESPONSE_CLOSE);
  g_signal_connect(box, "response", G_CALLBACK(OnErrorResponse), this);
  gtk_widget_show_all(box);
  // The focus would go to the first button, Retry: Return keeps meaning Close.
  gtk_widget_grab_focus(widgets_.close);
}

void GtkView::RunLoop() {
  if (quit_) return;
  gtk_main();
}

void GtkView::Quit() {
  if (quit_) return;
  quit_ = true;
  open_->store(false);
  StopPulse();
  DestroyWidgets();
  if (gtk_main_level() > 0) gtk_main_quit();
}

gboolean GtkView::OnDelete(GtkWidget*, GdkEvent*, gpointer self) {
  auto* view = static_cast<GtkView*>(self);
  if (view->listener_ != nullptr) view->listener_->OnCloseRequested();
  return TRUE;  // Quit destroys the window
}

gboolean GtkView::OnKey(GtkWidget*, GdkEventKey* event, gpointer self) {
  // Escape closes the window, as it cancels a dialog box.
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  auto* view = static_cast<GtkView*>(self);
  if (view->listener_ != nullptr) view->listener_->OnCloseRequested();
  return TRUE;
}

void GtkView::OnConfirm(GtkButton*, gpointer self) {
  auto* view = static_cast<GtkView*>(self);
  const int index = gtk_combo_box_get_active(GTK_COMBO_BOX(view->widgets_.languages));
  if (index >= 0 && view->listener_ != nullptr) view->listener_->OnLanguageChosen(index);
}

void GtkView::OnCancel(GtkButton*, gpointer self) {
  auto* view = static_cast<GtkView*>(self);
  if (view->listener_ != nullptr) view->listener_->OnCloseRequested();
}

void GtkView::OnErrorResponse(GtkDialog* dialog, gint response, gpointer self) {
  auto* view = static_cast<GtkView*>(self);
  if (view->widgets_.errorBox != GTK_WIDGET(dialog)) return;
  view->widgets_.errorBox = nullptr;
  view->widgets_.errorText = nullptr;
  view->widgets_.retry = nullptr;
  view->widgets_.close = nullptr;
  gtk_widget_destroy(GTK_WIDGET(dialog));
  if (view->listener_ == nullptr) return;
  if (response == kRetryResponse) {
    view->listener_->OnRetryRequested();
  } else {
    view->listener_->OnErrorDismissed();
  }
}

gboolean GtkView::OnPulse(gpointer self) {
  auto* view = static_cast<GtkView*>(self);
  gtk_progress_bar_pulse(GTK_PROGRESS_BAR(view->widgets_.pulse));
  return G_SOURCE_CONTINUE;
}

void GtkView::StopPulse() {
  if (pulseSource_ == 0) return;
  g_source_remove(pulseSource_);
  pulseSource_ = 0;
}

void GtkView::DestroyWidgets() {
  if (widgets_.errorBox != nullptr) gtk_widget_destroy(widgets_.errorBox);
  if (widgets_.window != nullptr) gtk_widget_destroy(widgets_.window);
  widgets_ = Widgets();
}

}  // namespace Updater
}  // namespace halv
