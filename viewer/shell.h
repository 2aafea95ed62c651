// The analyser's shell: program body, main window with its toolbar, and the
// Run dialog that starts a new analysis.
#pragma once

#include <gtk/gtk.h>

// Body of the program, run inside the interpreter when Guile is there.
void main_prog(int argc, char** argv);
// No window of its own: every message goes to standard output.
void make_message_log_view();

// Main window.
extern GtkWidget* main_app_window;
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
void analyze_new_stream();
gboolean run_dialog_ok_callback(GtkWidget* button, GdkEventButton* event, gpointer dialog);
gboolean run_dialog_cancel_callback(GtkWidget* button, GdkEventButton* event, gpointer dialog);
