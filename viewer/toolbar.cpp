// Main window "Tarvel" with its toolbar of six commands.
#include <cstdio>
#include <string>

#include "config.h"
#include "guile_binding.h"
#include "model.h"
#include "parser.h"
#include "plugin_window.h"
#include "shell.h"
#include "views.h"

GtkWidget* main_app_window = nullptr;
GtkWidget* main_status_line = nullptr;

namespace {

struct toolbar_item {
    const char* label;
    const char* tooltip;
    const char* icon;
    void (*handler)(GtkWidget*, gpointer);
};

const toolbar_item toolbar_items[] = {
    {"Quit", "Quits Application", "%s/icons/quit_app.xpm", destroy},
    {"Run", "Analyze bitstream", "%s/icons/run_button.xpm", analyze_new_stream_callback},
    {"Packs", "View Pack Overview", "%s/icons/packs_button.xpm", view_packs_callback},
    {"STD", "STD Buffer Analysis", "%s/icons/buffer_analysis.xpm", buffer_analysis_callback},
    {"Clocks", "SCR/PTS relationships", "%s/icons/clocks_button.xpm", clocks_relationships_callback},
    {"Plugins", "Configure plugins", "%s/icons/plugins.xpm", configure_plugins_callback},
};

gboolean main_window_delete_callback(GtkWidget* widget, GdkEvent*, gpointer data) {
    destroy(widget, data);
    return TRUE;  // the main loop ends; the window goes with the process
}

// Formats an icon path from its pattern and the root directory.
std::string icon_path(const char* pattern) {
    std::string path = pattern;
    path.replace(path.find("%s"), 2, tarvel_viewer_root_dir);
    return path;
}

// The buffer replay's verdict on the current model, shown under its facts.
void show_buffer_verdict(const char* verdict) {
    buffer_verdict = verdict ? verdict : "";
    update_status_line();
}

}  // namespace

void update_status_line() {
    if (!main_status_line) return;
    std::string text = stream_summary(analysed_file_name, _all_packs_array);
    // The verdict line begins with "Buffers: " itself.
    if (!_all_packs_array.empty() && !buffer_verdict.empty()) text += "\n" + buffer_verdict;
    gtk_label_set_text(GTK_LABEL(main_status_line), text.c_str());
}

void add_main_toolbar() {
    main_app_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(main_app_window), "Tarvel");
    gtk_window_set_resizable(GTK_WINDOW(main_app_window), FALSE);
    g_signal_connect(main_app_window, "delete-event", G_CALLBACK(main_window_delete_callback), nullptr);
    gtk_widget_realize(main_app_window);

    GtkWidget* toolbar = gtk_toolbar_new();
    gtk_orientable_set_orientation(GTK_ORIENTABLE(toolbar), GTK_ORIENTATION_HORIZONTAL);
    gtk_toolbar_set_style(GTK_TOOLBAR(toolbar), GTK_TOOLBAR_BOTH);
    gtk_container_set_border_width(GTK_CONTAINER(toolbar), 5);
    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_pack_start(GTK_BOX(column), toolbar, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(main_app_window), column);

    // Status line: what is loaded.  Long lists of streams wrap instead of
    // widening the window.
    main_status_line = gtk_label_new(nullptr);
    gtk_widget_set_name(main_status_line, "status line");
    gtk_label_set_xalign(GTK_LABEL(main_status_line), 0.0f);
    gtk_label_set_line_wrap(GTK_LABEL(main_status_line), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(main_status_line), 50);
    gtk_label_set_selectable(GTK_LABEL(main_status_line), TRUE);
    gtk_widget_set_margin_start(main_status_line, 8);
    gtk_widget_set_margin_end(main_status_line, 8);
    gtk_widget_set_margin_bottom(main_status_line, 6);
    gtk_box_pack_start(GTK_BOX(column), main_status_line, FALSE, FALSE, 0);
    buffer_analysis_verdict_hook = show_buffer_verdict;
    update_status_line();

    for (const toolbar_item& item : toolbar_items) {
        std::string path = icon_path(item.icon);
        GError* error = nullptr;
        GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &error);
        GtkWidget* icon = nullptr;
        if (pixbuf) {
            icon = gtk_image_new_from_pixbuf(pixbuf);
            g_object_unref(pixbuf);
        } else {
            std::fprintf(stderr, "Cannot load icon %s: %s\n", path.c_str(), error ? error->message : "unknown error");
            if (error) g_error_free(error);
        }
        GtkToolItem* button = gtk_tool_button_new(icon, item.label);
        gtk_tool_item_set_tooltip_text(button, item.tooltip);
        gtk_widget_set_name(GTK_WIDGET(button), item.label);
        g_signal_connect(button, "clicked", G_CALLBACK(item.handler), nullptr);
        gtk_toolbar_insert(GTK_TOOLBAR(toolbar), button, -1);
    }

    gtk_widget_show_all(column);
    gtk_widget_show(main_app_window);
}

void close_all_views() {
    close_pixmap_view();
    close_buffer_analysis_view();
    close_clocks_relationships_view();
}

void destroy(GtkWidget*, gpointer) {
    // A parse in progress stops at its next pack; the main loop ends once
    // its handler has returned.
    parse_cancel_requested = true;
    close_all_views();
    gtk_main_quit();
}

void analyze_new_stream_callback(GtkWidget*, gpointer) {
    if (parse_in_progress) return;
    clear_extraction_files();
    close_all_views();
    analyze_new_stream();
}

void view_packs_callback(GtkWidget*, gpointer) {
    if (!parse_in_progress && _n_all_packs() > 0 && !pixmap_view_instantiated) make_pixmap_view();
}

void buffer_analysis_callback(GtkWidget*, gpointer) {
    if (!parse_in_progress && _n_all_packs() > 0 && !buffer_analysis_view_instantiated) make_buffer_analysis_view();
}

void clocks_relationships_callback(GtkWidget*, gpointer) {
    if (!parse_in_progress && _n_all_packs() > 0 && !clocks_relationships_view_instantiated) make_clocks_relationships_view();
}

void configure_plugins_callback(GtkWidget*, gpointer) {
    // The plug-ins switch the extraction on and off: not in mid-parse.
    if (parse_in_progress) return;
    if (plugin_extensions_are_available)
        configure_plugins();
    else
        std::printf("Plugins are not available \n");
}
