// Run dialog: asks for a stream file and replaces the model by its parse.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "model.h"
#include "parser.h"
#include "plugin_hooks.h"
#include "shell.h"

GtkWidget* new_stream_dialog = nullptr;
GtkWidget* run_mpegfile_entry = nullptr;
GtkWidget* run_file_chooser = nullptr;

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
    run_dialog_cancel_callback(nullptr, nullptr, dialog);
    return TRUE;
}

using release_handler = gboolean (*)(GtkWidget*, GdkEventButton*, gpointer);

// Keyboard and accessibility activation give "clicked" without a button
// release: the release handler then runs from here.  A pointer click has
// already run it on its release.
void action_clicked_callback(GtkWidget* button, gpointer dialog) {
    GdkEvent* event = gtk_get_current_event();
    const bool from_release = event && event->type == GDK_BUTTON_RELEASE;
    if (event) gdk_event_free(event);
    if (from_release) return;
    // Run from the main loop, so that the caller of the action (the
    // accessibility bus waits for its answer) is not held for a whole parse.
    struct pending_action {
        GtkWidget* button;
        gpointer dialog;
    };
    g_object_ref(button);
    g_idle_add(
        [](gpointer data) -> gboolean {
            auto* action = static_cast<pending_action*>(data);
            auto handler =
                reinterpret_cast<release_handler>(g_object_get_data(G_OBJECT(action->button), "release-handler"));
            if (handler) handler(action->button, nullptr, action->dialog);
            g_object_unref(action->button);
            delete action;
            return G_SOURCE_REMOVE;
        },
        new pending_action{button, dialog});
}

GtkWidget* add_action_button(GtkWidget* box, const char* label, release_handler handler) {
    GtkWidget* button = gtk_button_new_with_label(label);
    g_signal_connect(button, "button-release-event", G_CALLBACK(handler), new_stream_dialog);
    g_object_set_data(G_OBJECT(button), "release-handler", reinterpret_cast<gpointer>(handler));
    g_signal_connect(button, "clicked", G_CALLBACK(action_clicked_callback), new_stream_dialog);
    gtk_widget_show(button);
    gtk_box_pack_start(GTK_BOX(box), button, TRUE, TRUE, 0);
    return button;
}

// The widgets that start a parse, switched off while one runs; Cancel stays
// on to stop it.
GtkWidget* run_ok_button = nullptr;
GtkWidget* run_browse_button = nullptr;

void set_run_widgets_sensitive(gboolean on) {
    gtk_widget_set_sensitive(run_mpegfile_entry, on);
    gtk_widget_set_sensitive(run_ok_button, on);
    gtk_widget_set_sensitive(run_browse_button, on);
}

void file_chooser_response_callback(GtkWidget* chooser, gint response, gpointer) {
    if (response == GTK_RESPONSE_ACCEPT) {
        gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
        if (name) gtk_entry_set_text(GTK_ENTRY(run_mpegfile_entry), name);
        g_free(name);
    }
    gtk_widget_destroy(chooser);
}

void add_filter(GtkWidget* chooser, const char* name, std::initializer_list<const char*> patterns) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, name);
    for (const char* pattern : patterns) gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
}

// Browse...: a file chooser that puts the chosen name into the entry.  It
// starts in the folder of the name the entry holds, when there is one.
void run_browse_callback(GtkWidget*, gpointer) {
    if (run_file_chooser) {
        gtk_window_present(GTK_WINDOW(run_file_chooser));
        return;
    }
    run_file_chooser = gtk_file_chooser_dialog_new("Choose an MPEG stream", GTK_WINDOW(new_stream_dialog),
                                                   GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
                                                   "_Open", GTK_RESPONSE_ACCEPT, nullptr);
    add_filter(run_file_chooser, "MPEG streams (*.mpg *.mpeg *.vob *.m2p *.ps)",
               {"*.[mM][pP][gG]", "*.[mM][pP][eE][gG]", "*.[vV][oO][bB]", "*.[mM]2[pP]", "*.[pP][sS]"});
    add_filter(run_file_chooser, "All files", {"*"});
    gchar* folder = g_path_get_dirname(gtk_entry_get_text(GTK_ENTRY(run_mpegfile_entry)));
    if (g_file_test(folder, G_FILE_TEST_IS_DIR))
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(run_file_chooser), folder);
    g_free(folder);
    g_signal_connect(run_file_chooser, "response", G_CALLBACK(file_chooser_response_callback), nullptr);
    g_signal_connect(run_file_chooser, "destroy", G_CALLBACK(gtk_widget_destroyed), &run_file_chooser);
    gtk_widget_show(run_file_chooser);
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
        run_ok_button = add_action_button(actions, "OK", run_dialog_ok_callback);
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
        run_browse_button = gtk_button_new_with_label("Browse...");
        g_signal_connect(run_browse_button, "clicked", G_CALLBACK(run_browse_callback), nullptr);
        gtk_box_pack_start(GTK_BOX(hbox), run_browse_button, FALSE, FALSE, 4);
        gtk_widget_show(run_browse_button);

        // Shown while a long parse runs.
        parse_progress_bar = gtk_progress_bar_new();
        gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(parse_progress_bar), TRUE);
        gtk_box_pack_start(GTK_BOX(content), parse_progress_bar, FALSE, FALSE, 4);
    }
    gtk_widget_show(new_stream_dialog);
}

gboolean run_dialog_ok_callback(GtkWidget*, GdkEventButton*, gpointer dialog) {
    if (parse_in_progress) return FALSE;
    // The views read the packs that are about to be replaced: close them
    // first.
    close_all_views();

    const char* text = gtk_entry_get_text(GTK_ENTRY(run_mpegfile_entry));
    size_t length = std::strlen(text);
    if (length >= file_name_size) {
        std::printf("File name too long (%zu characters, at most %zu)\n", length, file_name_size - 1);
        return FALSE;
    }
    char name[file_name_size];
    std::memcpy(name, text, length + 1);
    if (name[0] == '\0') {
        // Nothing to parse: the model is emptied and the dialog stays.
        delete_parser_structs();
        init_parser_structs();
        analysed_file_name.clear();
        update_status_line();
        return FALSE;
    }

    set_run_widgets_sensitive(FALSE);
    analysis_outcome outcome = analyse_stream_file(name, true);
    set_run_widgets_sensitive(TRUE);
    if (outcome.ok) execute_file_read_plugins();
    update_status_line();
    hide_in_place(GTK_WIDGET(dialog));
    report_analysis_outcome(outcome);
    return FALSE;
}

gboolean run_dialog_cancel_callback(GtkWidget*, GdkEventButton*, gpointer dialog) {
    // During a parse, Cancel stops it; the previous model stays.
    if (parse_in_progress) parse_cancel_requested = true;
    hide_in_place(GTK_WIDGET(dialog));
    return FALSE;
}
