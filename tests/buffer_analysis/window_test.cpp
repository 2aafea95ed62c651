// The buffer analysis window on a display (run under xvfb-run): the replay
// driven by its buttons, its redraw timer and its closing.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <functional>
#include <string>

#include "buffer_analysis_view.h"
#include "gtk_test_util.h"
#include "parser.h"

namespace {

void load(const char* name) {
    delete_parser_structs();
    init_parser_structs();
    _pack_sink = collect_pack;
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    parse_mpeg_file((std::string(TEST_DATA_DIR "/") + name).c_str());
    std::fflush(stdout);
    ::testing::internal::GetCapturedStdout();
}

// Runs the main loop until `done` holds (or the wait limit passes).
void pump_until(const std::function<bool()>& done) {
    ASSERT_TRUE(gtu::pump_until(done))
        << "timed out: pack " << (buffer_analysis_replay() ? buffer_analysis_replay()->pack_index : -1) << " state "
        << (buffer_analysis_replay() ? buffer_analysis_replay()->analysis_state : -1);
}

// Runs `f` once, `ms` from now, from the main loop (so nested in a replay).
// Nothing waits for it to have happened.
void later(int ms, std::function<void()> f) {
    g_timeout_add(
        ms,
        [](gpointer p) -> gboolean {
            auto* fn = static_cast<std::function<void()>*>(p);
            (*fn)();
            delete fn;
            return FALSE;
        },
        new std::function<void()>(std::move(f)));
}

std::vector<GtkWidget*> children_of_type(GtkWidget* w, GType type) {
    std::vector<GtkWidget*> out;
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, type)) out.push_back(w);
    if (GTK_IS_CONTAINER(w)) {
        GList* list = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* l = list; l; l = l->next) {
            auto more = children_of_type(GTK_WIDGET(l->data), type);
            out.insert(out.end(), more.begin(), more.end());
        }
        g_list_free(list);
    }
    return out;
}

GtkWidget* quit_button() {
    for (GtkWidget* b : children_of_type(buffer_analysis_view_widget, GTK_TYPE_BUTTON))
        if (std::string(gtk_button_get_label(GTK_BUTTON(b))) == "Quit") return b;
    return nullptr;
}

bool has_green(cairo_surface_t* s) {
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                             y * cairo_image_surface_get_stride(s));
        for (int x = 0; x < w; ++x)
            if ((row[x] & 0xFFFFFF) == 0x41A843) return true;
    }
    return false;
}

std::string verdict;

TEST(BufferWindow, PlayRunsTheReplayToTheEndAndTheGraphsShowIt) {
    load("mpeg2_bframes_ffmpeg.mpg");
    verdict.clear();
    buffer_analysis_verdict_hook = [](const char* v) { verdict = v; };
    make_buffer_analysis_view();
    GtkWidget* window = buffer_analysis_view_widget;
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(buffer_analysis_view_instantiated);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "T-STD Buffer Analysis");
    make_buffer_analysis_view();  // already open: nothing happens
    EXPECT_EQ(buffer_analysis_view_widget, window);

    auto areas = children_of_type(window, GTK_TYPE_DRAWING_AREA);
    ASSERT_EQ(areas.size(), 2u);
    GdkRectangle screen;
    gdk_monitor_get_workarea(gdk_display_get_primary_monitor(gdk_display_get_default())
                                 ?: gdk_display_get_monitor(gdk_display_get_default(), 0),
                             &screen);
    int w = 0, h = 0;
    gtk_widget_get_size_request(areas[0], &w, &h);
    EXPECT_EQ(w, screen.width);
    EXPECT_EQ(h, (screen.height - 120) / 2);

    auto replay = buffer_analysis_replay();
    GtkWidget* play = buffer_analysis_play_button();
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(play)), "Play");
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    gtk_button_clicked(GTK_BUTTON(play));
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(play)), "  Pause  ");
    pump_until([&] { return replay->pack_index == _n_all_packs() && replay->reader.fd < 0; });  // the worker has ended
    pump_until([&] {  // a redraw tick has drawn the graphs
        for (GtkWidget* area : areas) {
            buffer_graph_struct* graph = buffer_graph_of(area);
            if (!graph || !graph->back_buffer || !has_green(graph->back_buffer)) return false;
        }
        return true;
    });
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(replay->pack_index, _n_all_packs());
    for (GtkWidget* area : areas) {
        buffer_graph_struct* graph = buffer_graph_of(area);
        ASSERT_NE(graph, nullptr);
        EXPECT_GT(ring_point_count(*graph->record), 20);
        ASSERT_NE(graph->back_buffer, nullptr);
        EXPECT_TRUE(has_green(graph->back_buffer));
    }
    // The replay has ended: the button says so and a press changes nothing.
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(play)), replay_finished_label);
    EXPECT_FALSE(gtk_widget_get_sensitive(play));
    EXPECT_EQ(verdict, "Buffers: conformant");
    gtk_button_clicked(GTK_BUTTON(play));
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(play)), replay_finished_label);

    close_buffer_analysis_view();
    EXPECT_EQ(buffer_analysis_view_widget, nullptr);
    EXPECT_FALSE(buffer_analysis_view_instantiated);
    EXPECT_EQ(analysis_timer_id, 0u);
    EXPECT_EQ(replay->analysis_state, analysis_closed);
}

TEST(BufferWindow, QuitWhilePausedEndsTheReplayWithNoFurtherPack) {
    load("mpeg1_vcd_mplex.mpg");
    make_buffer_analysis_view();
    auto replay = buffer_analysis_replay();
    int32_t paused_at = -1;
    gtk_button_clicked(GTK_BUTTON(buffer_analysis_play_button()));
    // Paused once the replay is under way (its worker dispatches this).
    gtu::when([&] { return replay->reader.fd >= 0 && replay->pack_index > 0; }, [&] {
        gtk_button_clicked(GTK_BUTTON(buffer_analysis_play_button()));  // pause
        paused_at = replay->pack_index;
        // Time for a paused replay to step on, wrongly, before Quit.
        later(300, [] { gtk_button_clicked(GTK_BUTTON(quit_button())); });
    });
    pump_until([&] { return replay.use_count() == 1; });  // window and worker gone
    EXPECT_GT(paused_at, 0);
    EXPECT_LT(paused_at, _n_all_packs());
    EXPECT_EQ(replay->pack_index, paused_at);
    EXPECT_EQ(replay->analysis_state, analysis_closed);
    EXPECT_LT(replay->reader.fd, 0);
    EXPECT_EQ(buffer_analysis_view_widget, nullptr);
}

TEST(BufferWindow, ReopeningWhileTheOldReplayDispatchesGivesEachItsOwnRun) {
    load("mpeg1_vcd_mplex.mpg");
    make_buffer_analysis_view();
    auto first = buffer_analysis_replay();
    std::shared_ptr<buffer_replay_struct> second;
    int32_t closed_at = -1;
    gtk_button_clicked(GTK_BUTTON(buffer_analysis_play_button()));
    // Once the first replay is under way, from inside its event dispatch.
    gtu::when([&] { return first->reader.fd >= 0 && first->pack_index > 0; }, [&] {
        close_buffer_analysis_view();
        closed_at = first->pack_index;
        make_buffer_analysis_view();
        second = buffer_analysis_replay();
        gtk_button_clicked(GTK_BUTTON(buffer_analysis_play_button()));
    });
    pump_until([&] { return second && second->pack_index == _n_all_packs() && first.use_count() == 1; });
    EXPECT_GT(closed_at, 0);
    EXPECT_LT(closed_at, _n_all_packs());
    EXPECT_EQ(first->pack_index, closed_at);
    EXPECT_EQ(first->analysis_state, analysis_closed);
    EXPECT_LT(first->reader.fd, 0);
    EXPECT_NE(second->analysis_state, analysis_closed);
    EXPECT_TRUE(buffer_analysis_view_instantiated);
    close_buffer_analysis_view();
    pump_until([&] { return second.use_count() == 1; });
}

// A stream read from a FIFO cannot be read again: the window says so at
// once instead of blocking or showing empty graphs.
TEST(BufferWindow, StreamFromAFifoIsRefusedWithAMessage) {
    char dir[] = "/tmp/buffer-window-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/stream";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ifstream in(TEST_DATA_DIR "/mpeg1_vcd_mplex.mpg", std::ios::binary);
        std::ofstream(fifo, std::ios::binary) << in.rdbuf();
    });
    delete_parser_structs();
    init_parser_structs();
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    parse_mpeg_file(fifo.c_str());
    std::fflush(stdout);
    ::testing::internal::GetCapturedStdout();
    writer.join();
    ASSERT_GT(_n_all_packs(), 0);
    make_buffer_analysis_view();
    EXPECT_TRUE(children_of_type(buffer_analysis_view_widget, GTK_TYPE_DRAWING_AREA).empty());
    bool said = false;
    for (GtkWidget* l : children_of_type(buffer_analysis_view_widget, GTK_TYPE_LABEL))
        said = said || std::string(gtk_label_get_text(GTK_LABEL(l))) == replay_unavailable_text;
    EXPECT_TRUE(said);
    EXPECT_FALSE(gtk_widget_get_sensitive(buffer_analysis_play_button()));
    gtk_button_clicked(GTK_BUTTON(quit_button()));
    pump_until([] { return buffer_analysis_view_widget == nullptr; });
    unlink(fifo.c_str());
    rmdir(dir);
}

}  // namespace

int main(int argc, char** argv) { return gtu::run_window_tests(argc, argv, "buffer_analysis_window_tests"); }
