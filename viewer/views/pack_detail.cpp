// Pack detail windows.
#include "pack_detail.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "pixmap_view.h"

namespace {

std::string format(const char* fmt, auto... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Fixed-width font for the detail windows' own widgets only.
GtkCssProvider* detail_font() {
    static GtkCssProvider* provider = [] {
        GtkCssProvider* p = gtk_css_provider_new();
        gtk_css_provider_load_from_data(p, "* { font-family: monospace; }", -1, nullptr);
        return p;
    }();
    return provider;
}

void use_detail_font(GtkWidget* widget) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                   GTK_STYLE_PROVIDER(detail_font()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

// Tallest list of lines shown without scrolling: the screen's work area
// less room for the window frame.  A pack with very many packets would
// otherwise give a window taller than the screen, or than the window
// system allows.
int tallest_line_list() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
    GdkRectangle area = {0, 0, 0, 768};
    if (monitor) gdk_monitor_get_workarea(monitor, &area);
    return std::max(200, area.height - 80);
}

}  // namespace

void add_detail_line(GtkWidget* box, const char* left, const char* right) {
    GtkWidget* label = gtk_label_new(detail_line_text(left, right).c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    use_detail_font(label);
    gtk_box_pack_start(GTK_BOX(box), label, TRUE, TRUE, 0);
}

void add_detail_pack(int index, pack_struct* pack) {
    if (!pack) return;
    GtkWidget* dialog = nullptr;
    try {
        pixmap_view_pack_details.reserve(pixmap_view_pack_details.size() + 1);
        dialog = gtk_dialog_new();
    } catch (const std::bad_alloc&) {
        dialog = nullptr;
    }
    if (!dialog) {
        std::fprintf(stderr, "Out of memory allocating detail pack\n");
        return;
    }
    g_signal_connect(dialog, "destroy", G_CALLBACK(remove_pack_detail_callback), nullptr);
    std::string title = format("Pack # %d", index);
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    use_detail_font(dialog);

    // The lines fill a box in the dialog, which scrolls only when it is
    // taller than the screen.
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    for_each_detail_line(*pack, [&](const char* left, const char* right) {
        add_detail_line(box, left, right);
    });
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), tallest_line_list());
    gtk_container_add(GTK_CONTAINER(scroller), box);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), scroller, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    pixmap_view_pack_details.push_back(dialog);
    pixmap_view_pack_count = static_cast<int32_t>(pixmap_view_pack_details.size());
}
