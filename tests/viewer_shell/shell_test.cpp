// The analyser's main window and Run dialog, driven in this process under a
// display (Xvfb in the test run).
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config.h"
#include "gtk_test_util.h"
#include "guile_binding.h"
#include "model.h"
#include "parser.h"
#include "shell.h"
#include "test_util.h"
#include "ts_builder.h"
#include "views.h"

namespace fs = std::filesystem;

namespace {

void pump() {
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

void release(GtkWidget* button) {
    GdkEvent* event = gdk_event_new(GDK_BUTTON_RELEASE);
    event->button.button = 1;
    gboolean handled = FALSE;
    g_signal_emit_by_name(button, "button-release-event", event, &handled);
    gdk_event_free(event);
    pump();
}

const std::string sample = std::string(TEST_DATA_DIR) + "/mpeg2_bframes_ffmpeg.mpg";

class ShellTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tarvel_viewer_root_dir = default_root_dir();
        add_main_toolbar();
        pump();
    }
    void SetUp() override {
        old_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override {
        fs::current_path(old_);
        if (new_stream_dialog) gtk_widget_hide(new_stream_dialog);
        pump();
    }
    tu::temp_dir dir_;
    fs::path old_;
};

}  // namespace

TEST_F(ShellTest, MainWindowHasSixItemsInOrder) {
    ASSERT_NE(main_app_window, nullptr);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(main_app_window)), "Tarvel");
    EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(main_app_window)));
    // The toolbar on top, the status line under it.
    GtkWidget* column = gtk_bin_get_child(GTK_BIN(main_app_window));
    ASSERT_TRUE(GTK_IS_BOX(column));
    GList* rows = gtk_container_get_children(GTK_CONTAINER(column));
    ASSERT_EQ(g_list_length(rows), 2u);
    GtkWidget* toolbar = GTK_WIDGET(rows->data);
    EXPECT_EQ(GTK_WIDGET(rows->next->data), main_status_line);
    g_list_free(rows);
    ASSERT_TRUE(GTK_IS_TOOLBAR(toolbar));
    const char* labels[] = {"Quit", "Run", "Packs", "STD", "Clocks", "Plugins"};
    const char* tips[] = {"Quits Application", "Analyze bitstream", "View Pack Overview",
                          "STD Buffer Analysis", "SCR/PTS relationships", "Configure plugins"};
    ASSERT_EQ(gtk_toolbar_get_n_items(GTK_TOOLBAR(toolbar)), 6);
    for (int i = 0; i < 6; ++i) {
        GtkToolItem* item = gtk_toolbar_get_nth_item(GTK_TOOLBAR(toolbar), i);
        ASSERT_TRUE(GTK_IS_TOOL_BUTTON(item));
        EXPECT_STREQ(gtk_tool_button_get_label(GTK_TOOL_BUTTON(item)), labels[i]);
        // The tool item keeps its tooltip on the button inside it.
        gchar* tip = gtk_widget_get_tooltip_text(gtk_bin_get_child(GTK_BIN(item)));
        EXPECT_STREQ(tip, tips[i]);
        g_free(tip);
        // Every icon of the shipped data loads.
        EXPECT_TRUE(GTK_IS_IMAGE(gtk_tool_button_get_icon_widget(GTK_TOOL_BUTTON(item)))) << labels[i];
    }
}

TEST_F(ShellTest, RunDialogOkCancelAndEmptyName) {
    // Run removes the extracted-stream files from the private directory,
    // never from the working directory, and shows the dialog with the
    // default name.
    tu::write_file(dir_.file("0xe0.mpeg"), {1, 2, 3});
    analyze_new_stream_callback(nullptr, nullptr);
    pump();
    EXPECT_TRUE(fs::exists(dir_.file("0xe0.mpeg")));
    ASSERT_TRUE(make_extraction_directory());
    tu::write_file(extraction_file_path(0xe0), {1, 2, 3});
    analyze_new_stream_callback(nullptr, nullptr);
    pump();
    EXPECT_FALSE(fs::exists(extraction_file_path(0xe0)));
    EXPECT_TRUE(fs::exists(dir_.file("0xe0.mpeg")));
    remove_extraction_directory();
    ASSERT_NE(new_stream_dialog, nullptr);
    EXPECT_TRUE(gtk_widget_get_visible(new_stream_dialog));
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(new_stream_dialog)), "Run Dialog");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(run_mpegfile_entry)), "/tmp/mpeg/ferlin.mpg");

    // OK with a real stream fills the model and hides the dialog.
    gtk_entry_set_text(GTK_ENTRY(run_mpegfile_entry), sample.c_str());
    GtkWidget* ok = gtu::find_button(new_stream_dialog, "OK");
    GtkWidget* cancel = gtu::find_button(new_stream_dialog, "Cancel");
    ASSERT_NE(ok, nullptr);
    ASSERT_NE(cancel, nullptr);
    release(ok);
    EXPECT_EQ(_n_all_packs(), 77);
    EXPECT_FALSE(gtk_widget_get_visible(new_stream_dialog));
    EXPECT_STREQ(get_mpeg_file_name(), sample.c_str());

    // Run again: the entry keeps the last name; Cancel keeps the model.
    analyze_new_stream_callback(nullptr, nullptr);
    pump();
    EXPECT_EQ(std::string(gtk_entry_get_text(GTK_ENTRY(run_mpegfile_entry))), sample);
    release(cancel);
    EXPECT_EQ(_n_all_packs(), 77);
    EXPECT_FALSE(gtk_widget_get_visible(new_stream_dialog));

    // OK with an empty name empties the model and leaves the dialog shown;
    // the view commands then do nothing.
    analyze_new_stream_callback(nullptr, nullptr);
    gtk_entry_set_text(GTK_ENTRY(run_mpegfile_entry), "");
    release(ok);
    EXPECT_EQ(_n_all_packs(), 0);
    EXPECT_TRUE(gtk_widget_get_visible(new_stream_dialog));
    view_packs_callback(nullptr, nullptr);
    buffer_analysis_callback(nullptr, nullptr);
    clocks_relationships_callback(nullptr, nullptr);
    EXPECT_FALSE(pixmap_view_instantiated);
    EXPECT_FALSE(buffer_analysis_view_instantiated);
    EXPECT_FALSE(clocks_relationships_view_instantiated);

    // A name of 512 characters is refused; the dialog stays.
    gtk_entry_set_text(GTK_ENTRY(run_mpegfile_entry), std::string(600, 'a').c_str());
    ::testing::internal::CaptureStdout();
    release(ok);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("File name too long"), std::string::npos) << out;
    EXPECT_TRUE(gtk_widget_get_visible(new_stream_dialog));

    // The window manager's close request acts as Cancel: the dialog is kept
    // and can be shown again.
    GdkEvent* del = gdk_event_new(GDK_DELETE);
    gboolean handled = FALSE;
    g_signal_emit_by_name(new_stream_dialog, "delete-event", del, &handled);
    gdk_event_free(del);
    pump();
    EXPECT_TRUE(handled);
    EXPECT_FALSE(gtk_widget_get_visible(new_stream_dialog));
    analyze_new_stream();
    pump();
    EXPECT_TRUE(gtk_widget_get_visible(new_stream_dialog));
}

TEST_F(ShellTest, ViewsOpenOnceAndRunClosesThem) {
    init_parser_structs();
    parse_mpeg_file(sample.c_str());
    ASSERT_GT(_n_all_packs(), 0);
    view_packs_callback(nullptr, nullptr);
    clocks_relationships_callback(nullptr, nullptr);
    pump();
    EXPECT_TRUE(pixmap_view_instantiated);
    EXPECT_TRUE(clocks_relationships_view_instantiated);
    // Pressing again while open does nothing.
    view_packs_callback(nullptr, nullptr);
    EXPECT_TRUE(pixmap_view_instantiated);

    analyze_new_stream_callback(nullptr, nullptr);
    pump();
    EXPECT_FALSE(pixmap_view_instantiated);
    EXPECT_FALSE(clocks_relationships_view_instantiated);
    EXPECT_EQ(_n_all_packs(), 77);  // Run alone leaves the model
}

// OK in the Run dialog with `name` in the entry.
void run_ok(const std::string& name) {
    analyze_new_stream_callback(nullptr, nullptr);
    pump();
    gtk_entry_set_text(GTK_ENTRY(run_mpegfile_entry), name.c_str());
    release(gtu::find_button(new_stream_dialog, "OK"));
}

std::string message_text() {
    if (!viewer_message_dialog) return "";
    gchar* text = nullptr;
    g_object_get(viewer_message_dialog, "text", &text, nullptr);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

TEST_F(ShellTest, WhatCannotBeAnalysedIsSaidAndThePreviousModelStays) {
    run_ok(sample);
    ASSERT_EQ(_n_all_packs(), 77);
    // The replay's verdict, as the replay words it, joins the status line
    // once.
    ASSERT_NE(buffer_analysis_verdict_hook, nullptr);
    buffer_analysis_verdict_hook("Buffers: conformant");
    const std::string status = gtk_label_get_text(GTK_LABEL(main_status_line));
    EXPECT_EQ(status.rfind("mpeg2_bframes_ffmpeg.mpg: 77 packs, ", 0), 0u) << status;
    EXPECT_NE(status.find("\nBuffers: conformant"), std::string::npos) << status;
    EXPECT_EQ(status.find("Buffers: Buffers:"), std::string::npos) << status;

    std::vector<uint8_t> video = {0, 0, 1, 0xB3, 0x16, 0x01, 0x20, 0x13};
    video.resize(5000, 0x55);
    tu::write_file(dir_.file("video.m2v"), video);
    ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    tb::mux ts;
    tb::add_tables(ts);
    ts.pes(tb::audio_pid, tb::audio_pes(9000, 400));
    tu::write_file(dir_.file("stream.mpg"), ts.data());  // told by its bytes, not by its name
    struct {
        std::string name, message;
    } cases[] = {
        {"missing.mpg", "Could not open missing.mpg"},
        {dir_.path().string(), "Could not open " + dir_.path().string()},
        {"video.m2v", "Not an ISO 1172-1 or ISO 13818-1 stream\nLooks like an MPEG video stream"},
        {"stream.mpg", "stream.mpg is a transport stream\nThe analyser's views read program streams; psverify and "
                       "psdump read transport streams."},
        // A FIFO without a writer is refused at once instead of blocking.
        {"fifo", "Cannot analyse fifo: not a regular file"},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        run_ok(c.name);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, c.message + "\n");
        EXPECT_EQ(message_text(), c.message);
        EXPECT_EQ(_n_all_packs(), 77) << c.name;
        EXPECT_STREQ(get_mpeg_file_name(), sample.c_str()) << c.name;
        // The replay still reads the kept stream, not the refused file.
        struct stat kept {}, want {};
        ASSERT_EQ(fstat(parsed_stream_fd(), &kept), 0) << c.name;
        ASSERT_EQ(stat(sample.c_str(), &want), 0);
        EXPECT_EQ(kept.st_ino, want.st_ino) << c.name;
        EXPECT_EQ(gtk_label_get_text(GTK_LABEL(main_status_line)), status);
    }
    gtk_widget_destroy(viewer_message_dialog);
}

TEST_F(ShellTest, PluginsUnavailableSaysSo) {
    bool saved = plugin_extensions_are_available;
    plugin_extensions_are_available = false;
    ::testing::internal::CaptureStdout();
    configure_plugins_callback(nullptr, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Plugins are not available \n");
    plugin_extensions_are_available = saved;
}

int main(int argc, char** argv) { return gtu::run_window_tests(argc, argv, "shell_tests"); }
