// Shared set-up of the plug-in tests: GTK on a display, the interpreter
// entered as the analyser enters it, the texts sent to Scheme recorded, and
// real pointer clicks on widgets.
#pragma once

#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gtk_test_util.h"
#include "guile_binding.h"

namespace pt {

// Every text evaluated through GH_EVAL_STR since the last clear().
inline std::vector<std::string> sent;
inline SCM (*real_eval_str)(const char*) = nullptr;

inline SCM recording_eval_str(const char* text) {
    sent.push_back(text);
    return real_eval_str(text);
}

inline void record_evaluations() {
    if (GH_EVAL_STR != recording_eval_str) {
        real_eval_str = GH_EVAL_STR;
        GH_EVAL_STR = recording_eval_str;
    }
}

// The written form of the value of an expression (not recorded).
inline std::string written(const std::string& expression) {
    std::string text = "(object->string (begin " + expression + "))";
    char* value = GH_SCM2NEWSTR(real_eval_str(text.c_str()), nullptr);
    std::string out = value ? value : "no value";
    free(value);
    return out;
}

inline void pump() {
    for (int round = 0; round < 5; ++round) {
        gdk_display_sync(gdk_display_get_default());
        while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

// Presses and releases button 1 at (x, y) of a button's input window, as
// the X server would deliver a real click.  Each step waits until the
// button has had its event: the window must be on screen first, and the
// event comes back from the server.
inline void click_at(GtkWidget* button, int x, int y, bool release_inside = true) {
    pump();
    GdkWindow* window = gtk_button_get_event_window(GTK_BUTTON(button));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(gtu::pump_until([&] { return gdk_window_is_viewable(window); })) << "the button is not shown";
    // Every button event the toolkit handles is counted on its way.
    static int presses, releases;
    presses = releases = 0;
    gdk_event_handler_set(
        [](GdkEvent* event, gpointer) {
            if (event->type == GDK_BUTTON_PRESS) ++presses;
            if (event->type == GDK_BUTTON_RELEASE) ++releases;
            gtk_main_do_event(event);
        },
        nullptr, nullptr);
    ASSERT_TRUE(gdk_test_simulate_button(window, x, y, 1, GdkModifierType(0), GDK_BUTTON_PRESS));
    EXPECT_TRUE(gtu::pump_until([] { return presses == 1; })) << "the press did not arrive";
    if (release_inside) {
        EXPECT_TRUE(gdk_test_simulate_button(window, x, y, 1, GDK_BUTTON1_MASK, GDK_BUTTON_RELEASE));
        EXPECT_TRUE(gtu::pump_until([] { return releases == 1; })) << "the release did not arrive";
    } else {
        // Leave the button before letting go: the toolkit may drop that
        // release, so what is waited for is the server's answer to a
        // round trip after it (pump).
        const int outside = gtk_widget_get_allocated_width(button) + 40;
        EXPECT_TRUE(gdk_test_simulate_button(window, outside, y, 1, GDK_BUTTON1_MASK, GDK_BUTTON_RELEASE));
    }
    gdk_event_handler_set([](GdkEvent* event, gpointer) { gtk_main_do_event(event); }, nullptr, nullptr);
    pump();
}

inline void click(GtkWidget* button) {
    click_at(button, gtk_widget_get_allocated_width(button) / 2, gtk_widget_get_allocated_height(button) / 2);
}

// Runs the tests inside the interpreter, as the analyser runs its body.
inline int tests_result = 1;
inline void (*prepare_tests)() = nullptr;

inline void run_tests_inside(int, char**) {
    if (prepare_tests) prepare_tests();
    record_evaluations();
    tests_result = RUN_ALL_TESTS();
}

inline int main_with_guile_and_display(int argc, char** argv, void (*prepare)()) {
    testing::InitGoogleTest(&argc, argv);
    // Clicks are sent to the X server as button events of the core
    // pointer; GDK takes them only while it reads core device events.
    setenv("GDK_CORE_DEVICE_EVENTS", "1", 1);
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "These tests need an X display: run them under xvfb-run\n");
        return 1;
    }
    load_guile();
    if (!g_guile_lib || !resolve_gh_enter()) {
        std::fprintf(stderr, "These tests need Guile 3 (Debian package guile-3.0-libs)\n");
        return 1;
    }
    prepare_tests = prepare;
    GH_ENTER(argc, argv, run_tests_inside);
    close_guile();
    return tests_result;
}

}  // namespace pt
