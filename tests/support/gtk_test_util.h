// Helpers for the tests of windows, which need an X display (run them under
// xvfb-run -a): driving the main loop, and the test program's main.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <functional>
#include <string>

namespace gtu {

// How long a test waits for something that must happen: far above what a
// loaded machine needs, since a wait ends as soon as its condition holds.
inline constexpr double wait_limit_seconds = 60;

// Runs the main loop until `done` holds or `seconds` have passed; false when
// the time ran out.
inline bool pump_until(const std::function<bool()>& done, double seconds = wait_limit_seconds) {
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
    }
    return true;
}

// Runs `action` once from the main loop (so also from a loop nested in a
// handler) as soon as `ready` holds there.
inline void when(std::function<bool()> ready, std::function<void()> action) {
    struct pending {
        std::function<bool()> ready;
        std::function<void()> action;
    };
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, 1,
        [](gpointer p) -> gboolean {
            auto* w = static_cast<pending*>(p);
            if (!w->ready()) return G_SOURCE_CONTINUE;
            w->action();
            return G_SOURCE_REMOVE;
        },
        new pending{std::move(ready), std::move(action)}, [](gpointer p) { delete static_cast<pending*>(p); });
}

// Handles everything pending, `rounds` times with a short pause between, so
// that what the X server sends back in the meantime is handled too.
inline void pump_pending(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(2000);
    }
}

// The first button below `root` (depth first) whose label is `label`.
inline GtkWidget* find_button(GtkWidget* root, const std::string& label) {
    if (GTK_IS_BUTTON(root) && gtk_button_get_label(GTK_BUTTON(root)) &&
        label == gtk_button_get_label(GTK_BUTTON(root)))
        return root;
    if (!GTK_IS_CONTAINER(root)) return nullptr;
    GtkWidget* found = nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    for (GList* l = children; l && !found; l = l->next) found = find_button(GTK_WIDGET(l->data), label);
    g_list_free(children);
    return found;
}

// The main of a window test program: starts the tests after the toolkit, or
// fails with a message naming `program` when there is no display.  Listing
// the tests needs no display.
inline int run_window_tests(int argc, char** argv, const char* program) {
    ::testing::InitGoogleTest(&argc, argv);
    // No accessibility bus: the tests do not use it, and its bridge keeps
    // allocations until exit.
    g_setenv("NO_AT_BRIDGE", "1", TRUE);
    if (!GTEST_FLAG_GET(list_tests) && !gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "%s: no X display: these tests need one (run them under xvfb-run -a)\n", program);
        return 1;
    }
    return RUN_ALL_TESTS();
}

}  // namespace gtu
