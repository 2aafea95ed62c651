// Run dialog: asks for a stream file and replaces the model by its parse.
#include <cstdio>
#include <cstring>

#include "model.h"
#include "parser.h"
#include "plugin_hooks.h"
#include "shell.h"

GtkWidget* new_stream_dialog = nullptr;
GtkWidget* run_mpegfile_entry = nullptr;

namespace {

// Stream file names up to 511 characters.
constexpr size_t file_name_size = 512;

// Hides the dialog and keeps it where the user left it for the next Run.
void hide_in_place(GtkWidget* dialog) {
    gint x = 0, y = 0;
    gtk_window_get_position(GTK_WINDOW(dialog), &x, &y);
    gtk_widget_hide(dialog);
    gtk_window_move(GTK_WINDOW(dialog), x, y);
}

// The window manager's close request acts as Cancel: the dialog is kept.
gboolean run_dialog_delete_callback(GtkWidget* dialog, GdkEvent*, gpointer) {
    hide_in_place(dialog);
    return TRUE;
}

GtkWidget* add_action_button(GtkWidget* box, const char* label,
                             gboolean (*handler)(GtkWidget*, GdkEventButton*, gpointer)) {
    GtkWidget* button = gtk_button_new_with_label(label);
    g_signal_connect(button, "button-release-event", G_CALLBACK(handler), new_stream_dialog);
    gtk_widget_show(button);
    gtk_box_pack_start(GTK_BOX(box), button, TRUE, TRUE, 0);
    return button;
}

}  // namespace

void analyze_new_stream() {
    if (!new_stream_dialog) {
        new_stream_dialog = gtk_dialog_new();
        gtk_window_set_title(GTK_WINDOW(new_stream_dialog), "Run Dialog");
        g_signal_connect(new_stream_dialog, "delete-event", G_CALLBACK(run_dialog_delete_callback), nullptr);
        GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(new_stream_dialog));

        GtkWidget* actions = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
        gtk_box_pack_end(GTK_BOX(content), actions, FALSE, FALSE, 0);
        add_action_button(actions, "OK", run_dialog_ok_callback);
        add_action_button(actions, "Cancel", run_dialog_cancel_callback);
        gtk_widget_show(actions);

        GtkWidget* hbox = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
        gtk_box_pack_start(GTK_BOX(content), hbox, TRUE, TRUE, 0);
        gtk_widget_show(hbox);

        GtkWidget* label = gtk_label_new("MPEG File: ");
        run_mpegfile_entry = gtk_entry_new();
        gtk_entry_set_text(GTK_ENTRY(run_mpegfile_entry), "/tmp/mpeg/ferlin.mpg");
        gtk_box_pack_start(GTK_BOX(hbox), label, FALSE, TRUE, 0);
        gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
        gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
        gtk_widget_show(label);
        gtk_box_pack_start(GTK_BOX(hbox), run_mpegfile_entry, TRUE, TRUE, 0);
        gtk_widget_show(run_mpegfile_entry);
    }
    gtk_widget_show(new_stream_dialog);
}

gboolean run_dialog_ok_callback(GtkWidget*, GdkEventButton*, gpointer dialog) {
    // The views read the packs that are about to be replaced: close them
    // first.
    close_all_views();

    delete_parser_structs();
    init_parser_structs();

    const char* text = gtk_entry_get_text(GTK_ENTRY(run_mpegfile_entry));
    size_t length = std::strlen(text);
    if (length >= file_name_size) {
        std::printf("File name too long (%zu characters, at most %zu)\n", length, file_name_size - 1);
        return FALSE;
    }
    char name[file_name_size];
    std::memcpy(name, text, length + 1);
    if (name[0] == '\0') return FALSE;

    parse_mpeg_file(name);
    execute_file_read_plugins();
    hide_in_place(GTK_WIDGET(dialog));
    return FALSE;
}

gboolean run_dialog_cancel_callback(GtkWidget*, GdkEventButton*, gpointer dialog) {
    hide_in_place(GTK_WIDGET(dialog));
    return FALSE;
}
