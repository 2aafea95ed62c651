// The "Activate Plugins" window.
//
// Building it loads every plug-in interface file of "<root>/plugins/" into
// the interpreter, makes one instance of each (x_plug0, x_plug1, ...) and
// lists the instances by their descriptions as check buttons.  The glue's
// registry keeps the active ones; OK switches on the parser's extraction
// from its counts.
#include "plugin_window.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "config.h"
#include "guile_binding.h"
#include "parser.h"

GtkWidget* plugins_view_widget = nullptr;
int _plugin_number = 0;

namespace {

constexpr const char* instance_prefix = "x_plug";
constexpr const char* interface_suffix = "interface";
constexpr size_t text_size = 512;

// A step of loading one plug-in failed; the guard in add_option reports it.
struct plugin_load_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A plug-in interface file: not hidden, at least 11 characters, ending in
// "interface".
bool is_interface_file(const char* name) {
    size_t len = std::strlen(name);
    if (name[0] == '.' || len < 11) return false;
    return std::strcmp(name + len - std::strlen(interface_suffix), interface_suffix) == 0;
}

// The file name less "interface" and the separator before it, with every
// '_' turned into '-': mpeg_video_interface gives mpeg-video.
std::string interface_name_of(const char* file_name) {
    std::string name(file_name, std::strlen(file_name) - 10);
    for (char& c : name)
        if (c == '_') c = '-';
    return name;
}

// The interface name is written into Scheme texts as part of a symbol, so
// it may hold no character that ends a symbol or starts other syntax.
bool usable_in_symbol(const std::string& name) {
    if (name.empty() || name[0] == '#') return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7f || std::strchr("()[]{}\"';`,|\\", c)) return false;
    return true;
}

// Formats into a buffer of text_size bytes; false when the text does not
// fit.
template <typename... Args>
bool format_text(char (&buffer)[text_size], const char* format, Args... args) {
    int n = std::snprintf(buffer, text_size, format, args...);
    return n >= 0 && static_cast<size_t>(n) < text_size;
}

// One evaluation while a plug-in loads (`eval` is GH_EVAL_FILE or
// GH_EVAL_STR); a Scheme error in it is a load error of the plug-in.
SCM evaluate_step(SCM (*eval)(const char*), const char* source) {
    unsigned long before = guile_errors_caught();
    SCM value = eval(source);
    if (guile_errors_caught() != before) throw plugin_load_error("Scheme error");
    return value;
}

void evaluate(const char* text) {
    if (GH_EVAL_STR) GH_EVAL_STR(text);
}

int evaluate_count(const char* text) { return GH_EVAL_STR && GH_SCM2INT ? GH_SCM2INT(GH_EVAL_STR(text)) : 0; }

// The registry follows a check button through its release handler, which
// sees the state before the click.  A button can also be toggled without a
// release (keyboard, accessibility "click"): the "toggled" handler covers
// those, and skips the toggles a release handler has already acted on.
// The flag marks a release in progress; it is cleared once the button has
// handled the release, whether or not that toggled it.
constexpr const char* release_flag = "plugin-release-in-progress";

// Data kept on each check button: the interface file it was loaded from,
// and a mark once the plug-in has been found broken.
constexpr const char* file_name_key = "plugin-file-name";
constexpr const char* broken_key = "plugin-broken";

bool is_broken(GtkWidget* check_button) { return g_object_get_data(G_OBJECT(check_button), broken_key) != nullptr; }

// A plug-in whose configure step ran into the time limit is broken: it is
// reported as a plug-in that failed to load, left out of the registry, and
// its button is switched off and greyed so that it cannot stall the window
// again.
void mark_broken(GtkWidget* check_button) {
    const char* file_name = static_cast<const char*>(g_object_get_data(G_OBJECT(check_button), file_name_key));
    std::printf("Error loading %s\n", file_name ? file_name : "");
    std::fflush(stdout);
    g_object_set_data(G_OBJECT(check_button), broken_key, GINT_TO_POINTER(1));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_button), FALSE);
    gtk_widget_set_sensitive(check_button, FALSE);
}

void switch_plugin(GtkWidget* check_button, int instance_number, bool on) {
    if (is_broken(check_button)) return;
    char instance[32];  // "x_plug" and an int
    std::snprintf(instance, sizeof instance, "%s%d", instance_prefix, instance_number);
    char text[text_size];
    if (on) {
        format_text(text, "((%s 'configure))", instance);
        unsigned long limits_before = guile_time_limits_hit();
        evaluate(text);
        if (guile_time_limits_hit() != limits_before) {
            mark_broken(check_button);
            return;
        }
        format_text(text, "(add-plugin %s)", instance);
        evaluate(text);
    } else {
        format_text(text, "(remove-plugin %s)", instance);
        evaluate(text);
    }
}

gboolean release_done(GtkWidget* check_button, GdkEventButton*, gpointer) {
    g_object_set_data(G_OBJECT(check_button), release_flag, nullptr);
    return FALSE;
}

}  // namespace

void configure_plugins() {
    if (plugins_view_widget) {
        gtk_widget_show_all(plugins_view_widget);
        return;
    }

    char directory_path[text_size];
    bool fits = format_text(directory_path, "%s/plugins/", tarvel_viewer_root_dir.c_str());
    DIR* dir = fits ? opendir(directory_path) : nullptr;

    _plugin_number = 0;
    _extract_streams = false;
    _streamable_extract_streams = false;
    evaluate("(remove-all-plugins)");

    if (!dir) {
        std::printf("Couldn't open the plugins directory %s.", directory_path);
        std::fflush(stdout);
        return;
    }

    plugins_view_widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* window = plugins_view_widget;
    gtk_window_set_title(GTK_WINDOW(window), "Activate Plugins");
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    g_signal_connect(window, "destroy", G_CALLBACK(plugins_view_destroy_callback), nullptr);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 3);
    gtk_box_set_homogeneous(GTK_BOX(box), TRUE);
    gtk_container_add(GTK_CONTAINER(window), box);

    while (struct dirent* entry = readdir(dir))
        if (is_interface_file(entry->d_name)) add_option(box, directory_path, entry->d_name);

    GtkWidget* ok = gtk_button_new_with_label("OK");
    g_signal_connect(ok, "clicked", G_CALLBACK(plugins_view_ok_callback), window);
    gtk_box_pack_start(GTK_BOX(box), ok, TRUE, TRUE, 3);
    gtk_widget_show(ok);
    gtk_widget_show(box);
    gtk_widget_show(window);
    closedir(dir);
}

void add_option(GtkWidget* box, const char* directory_path, const char* file_name) {
    // Guard: whatever fails while this plug-in loads, it gets no button and
    // no number, and the scan goes on with the next file.
    char* description = nullptr;
    try {
        char full_path[text_size];
        if (!format_text(full_path, "%s%s", directory_path, file_name))
            throw plugin_load_error("path too long");

        std::printf("Loading plugin interface %s...", full_path);
        std::fflush(stdout);
        evaluate_step(GH_EVAL_FILE, full_path);
        std::printf("done\n");
        std::fflush(stdout);

        std::string interface_name = interface_name_of(file_name);
        if (!usable_in_symbol(interface_name)) throw plugin_load_error("name unusable in Scheme");
        char text[text_size];
        if (!format_text(text, "(define %s%d (%s-interface)) ((%s%d 'description))", instance_prefix,
                         _plugin_number, interface_name.c_str(), instance_prefix, _plugin_number))
            throw plugin_load_error("name too long");
        description = GH_SCM2NEWSTR(evaluate_step(GH_EVAL_STR, text), nullptr);
        if (!description) throw plugin_load_error("description is not a string");

        GtkWidget* check = gtk_check_button_new_with_label(description);
        g_signal_connect(check, "button-release-event", G_CALLBACK(plugin_toggle_callback),
                         GINT_TO_POINTER(_plugin_number));
        g_signal_connect_after(check, "button-release-event", G_CALLBACK(release_done), nullptr);
        g_signal_connect(check, "toggled", G_CALLBACK(plugin_toggled_callback), GINT_TO_POINTER(_plugin_number));
        g_object_set_data_full(G_OBJECT(check), file_name_key, g_strdup(file_name), g_free);
        gtk_box_pack_start(GTK_BOX(box), check, TRUE, TRUE, 0);
        gtk_widget_show(check);

        std::free(description);
        ++_plugin_number;
    } catch (const std::exception&) {
        std::free(description);
        std::printf("Error loading %s\n", file_name);
        std::fflush(stdout);
    }
}

gboolean plugin_toggle_callback(GtkWidget* check_button, GdkEventButton* event, gpointer instance_number) {
    // A release outside the button does not toggle it; the registry is
    // left alone then too.
    if (event) {
        int width = gtk_widget_get_allocated_width(check_button);
        int height = gtk_widget_get_allocated_height(check_button);
        if (event->x < 0 || event->y < 0 || event->x >= width || event->y >= height) return FALSE;
    }

    // The handler runs before the button's own handling of the release, so
    // this is the state before the click: off means this click switches
    // the plug-in on.
    g_object_set_data(G_OBJECT(check_button), release_flag, GINT_TO_POINTER(1));
    switch_plugin(check_button, GPOINTER_TO_INT(instance_number),
                  !gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_button)));
    // A button found broken just now takes no part in the rest of the click.
    return is_broken(check_button);
}

void plugin_toggled_callback(GtkToggleButton* check_button, gpointer instance_number) {
    if (g_object_get_data(G_OBJECT(check_button), release_flag)) return;
    switch_plugin(GTK_WIDGET(check_button), GPOINTER_TO_INT(instance_number),
                  gtk_toggle_button_get_active(check_button));
}

void plugins_view_ok_callback(GtkWidget*, gpointer window_data) {
    GtkWindow* window = GTK_WINDOW(window_data);
    int x = 0, y = 0;
    gtk_window_get_position(window, &x, &y);
    gtk_widget_hide(GTK_WIDGET(window));
    gtk_window_move(window, x, y);

    if (evaluate_count("(number-of-plugins)") > 0) {
        _extract_streams = true;
        if (evaluate_count("(number-of-streamable-plugins)") > 0) _streamable_extract_streams = true;
    }
}

void plugins_view_destroy_callback(GtkWidget*, gpointer) {
    std::printf("destroy plugins\n\n");
    std::fflush(stdout);
    _extract_streams = false;
    _plugin_number = 0;
    evaluate("(remove-all-plugins)");
    plugins_view_widget = nullptr;
}
