// The few GTK 3 calls the adapter makes beyond wxWidgets: the "*" mask of
// secret entries, word-wrapping labels, compact widget styling, the scroll
// bars of text boxes and print-to-file settings. Declared here against the
// GTK 3 ABI so the build needs only the wx development files; the library
// itself is the one wxWidgets runs on.
#pragma once

#include <wx/defs.h>

typedef struct _GtkPrintSettings GtkPrintSettings;

extern "C" {

typedef unsigned long QuentaGType;
typedef void (*QuentaGtkCallback)(GtkWidget* widget, void* data);

QuentaGType gtk_entry_get_type(void);
QuentaGType gtk_label_get_type(void);
QuentaGType gtk_container_get_type(void);
QuentaGType gtk_scrolled_window_get_type(void);
int g_type_check_instance_is_a(void* instance, QuentaGType type);

void gtk_entry_set_invisible_char(void* entry, unsigned int ch);
void gtk_entry_set_visibility(void* entry, int visible);

void gtk_label_set_line_wrap(void* label, int wrap);
void gtk_label_set_line_wrap_mode(void* label, int mode);
void gtk_label_set_xalign(void* label, float xalign);
void gtk_label_set_yalign(void* label, float yalign);

void* gtk_css_provider_new(void);
int gtk_css_provider_load_from_data(void* provider, const char* data, long length, void** error);
void* gtk_widget_get_style_context(GtkWidget* widget);
void gtk_style_context_add_provider(void* context, void* provider, unsigned int priority);
void gtk_container_forall(void* container, QuentaGtkCallback callback, void* data);

void gtk_scrolled_window_set_policy(void* window, int horizontal, int vertical);

void gtk_print_settings_set(GtkPrintSettings* settings, const char* key, const char* value);

}  // extern "C"

namespace quenta::gtk {

constexpr int kPangoWrapWordChar = 2;
constexpr unsigned int kStyleProviderPriorityApplication = 600;
constexpr int kPolicyAlways = 0;
constexpr int kPolicyNever = 2;

inline bool IsA(const void* widget, QuentaGType type) {
  return widget && g_type_check_instance_is_a(const_cast<void*>(widget), type) != 0;
}
inline bool IsEntry(const void* w) { return IsA(w, gtk_entry_get_type()); }
inline bool IsLabel(const void* w) { return IsA(w, gtk_label_get_type()); }
inline bool IsContainer(const void* w) { return IsA(w, gtk_container_get_type()); }
inline bool IsScrolledWindow(const void* w) { return IsA(w, gtk_scrolled_window_get_type()); }

}  // namespace quenta::gtk
