// The analyser's shell: program body, main window with its toolbar, and the
// Run dialog that starts a new analysis.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "model.h"

// Body of the program, run inside the interpreter when Guile is there.
void main_prog(int argc, char** argv);
// No window of its own: every message goes to standard output.
void make_message_log_view();

// Private directory of the extraction files, made under $TMPDIR (else
// /tmp) and set as the parser's extraction directory; false when none could
// be made.  Removed with its files by remove_extraction_directory, at exit
// and on SIGINT, SIGTERM and SIGHUP.
bool make_extraction_directory();
void remove_extraction_directory();
// Removes the extraction files from the private directory; without one,
// nothing (the working directory is the user's).
void clear_extraction_files();

// One analysis run.  `message` holds what is said when the file cannot be
// analysed (the dumper's wording), `detail` the reason; both empty when it
// can.  A file that is not analysed, or a cancelled parse, keeps the
// previous model.
struct analysis_outcome {
    bool ok = false;
    bool cancelled = false;
    std::string message;
    std::string detail;
};
// Parses `path` into a new model; with `interactive` the windows are served
// during the parse, a progress bar shows how far it got and Cancel stops it.
analysis_outcome analyse_stream_file(const char* path, bool interactive);
// Prints the outcome's message on standard error and shows it in a message
// dialog (nothing when there is none).
void report_analysis_outcome(const analysis_outcome& outcome);
extern GtkWidget* viewer_message_dialog;  // the message on screen, or null

// File of the current model, and the buffer replay's last verdict on it.
extern std::string analysed_file_name;
extern std::string buffer_verdict;
// A parse started from the Run dialog is running; Cancel or Quit sets the
// request that stops it.
extern bool parse_in_progress;
extern bool parse_cancel_requested;
extern GtkWidget* parse_progress_bar;

// The status line's text for a model: file name, pack count, duration from
// the first to the last SCR, and each stream_id with its kind.
std::string stream_summary(const std::string& file_name, const pack_list& packs);

// Main window.
extern GtkWidget* main_app_window;
extern GtkWidget* main_status_line;
// Shows the current model's facts, and the replay's verdict once there is one.
void update_status_line();
void add_main_toolbar();
void destroy(GtkWidget* widget, gpointer data);
void analyze_new_stream_callback(GtkWidget* widget, gpointer data);
void view_packs_callback(GtkWidget* widget, gpointer data);
void buffer_analysis_callback(GtkWidget* widget, gpointer data);
void clocks_relationships_callback(GtkWidget* widget, gpointer data);
void configure_plugins_callback(GtkWidget* widget, gpointer data);
// Closes the pack overview, the buffer analysis and the clock relationships
// views, in that order (each only when open).
void close_all_views();

// Run dialog.
extern GtkWidget* new_stream_dialog;
extern GtkWidget* run_mpegfile_entry;
extern GtkWidget* run_file_chooser;  // the Browse window while it is open
void analyze_new_stream();
gboolean run_dialog_ok_callback(GtkWidget* button, GdkEventButton* event, gpointer dialog);
gboolean run_dialog_cancel_callback(GtkWidget* button, GdkEventButton* event, gpointer dialog);
