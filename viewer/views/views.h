// Entry points of the analyser's views, used by the main toolbar.  Each view
// is open at most once; its `_instantiated` flag is true while it is open.
#pragma once

// Pack overview map.
void make_pixmap_view();
void close_pixmap_view();
extern bool pixmap_view_instantiated;

// P-STD / STD buffer analysis.
void make_buffer_analysis_view();
void close_buffer_analysis_view();
extern bool buffer_analysis_view_instantiated;

// SCR / PTS clock relationships.
void make_clocks_relationships_view();
void close_clocks_relationships_view();
extern bool clocks_relationships_view_instantiated;

// Called by the buffer analysis when a replay has reached the end of the
// stream, with a one-line verdict on its buffers; the main window shows it.
// Null when nobody listens.
extern void (*buffer_analysis_verdict_hook)(const char* verdict);
