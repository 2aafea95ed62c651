// The "Activate Plugins" window: lists the plug-ins found in the plug-in
// directory as check buttons; switching one on configures it and adds it to
// the glue's registry, OK turns on the stream extraction they feed on.
#pragma once

#include <gtk/gtk.h>

// The window, or null; built on the first Plugins command.
extern GtkWidget* plugins_view_widget;
// Plug-ins loaded into the current window; number of the next instance.
extern int _plugin_number;

// Builds the window on first use, or shows it again.
void configure_plugins();
// Loads one interface file and adds its check button to `box`.
void add_option(GtkWidget* box, const char* directory_path, const char* file_name);

// Release handler of a check button: configures and adds the plug-in when
// the click switches it on, removes it when the click switches it off.
gboolean plugin_toggle_callback(GtkWidget* check_button, GdkEventButton* event, gpointer instance_number);
// Follows toggles that come without a button release (keyboard,
// accessibility actions), from the new state.
void plugin_toggled_callback(GtkToggleButton* check_button, gpointer instance_number);
void plugins_view_ok_callback(GtkWidget* button, gpointer window);
void plugins_view_destroy_callback(GtkWidget* window, gpointer data);
