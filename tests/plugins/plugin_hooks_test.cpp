// The plug-in hooks, and the whole road with the shipped glue and example
// plug-ins: activate a plug-in in the window, Run a real sample stream, and
// read what the plug-in found.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "config.h"
#include "gtk_test_util.h"
#include "parser.h"
#include "plugin_hooks.h"
#include "plugin_test_support.h"
#include "plugin_window.h"
#include "shell.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

// Runs the test body with a fresh temporary working directory.
class in_temp_cwd {
public:
    in_temp_cwd() : old_(fs::current_path()) { fs::current_path(dir_.path()); }
    ~in_temp_cwd() { fs::current_path(old_); }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    tu::temp_dir dir_;
    fs::path old_;
};

void touch(const std::string& path) { tu::write_file(path, {0}); }

std::map<std::string, std::string> iterate() {
    std::map<std::string, std::string> seen;
    execute_plugin_iter(
        [](const char* name, const char* tag, void* data) {
            (*static_cast<std::map<std::string, std::string>*>(data))[name] = tag;
        },
        &seen);
    return seen;
}

TEST(PluginIter, FileNameRuleAndTags) {
    in_temp_cwd cwd;
    for (const char* name : {"0xe0.mpeg", "0xc0.mpeg", "0x5.mpeg", "0xbd.mpeg", "0Xe0.mpeg", "0x.mpeg", "0xe0.mpg",
                             ".0xe0.mpeg", "x0e0.mpeg", "0xe0.mpeg.bak", "e0.mpeg"})
        touch(cwd.file(name));
    EXPECT_EQ(iterate(), (std::map<std::string, std::string>{
                             {"0x5.mpeg", "#x5"}, {"0xbd.mpeg", "#xbd"}, {"0xc0.mpeg", "#xc0"}, {"0xe0.mpeg", "#xe0"}}));
}

TEST(FileReadHook, OneCallPerExtractedFile) {
    in_temp_cwd cwd;
    for (const char* name : {"0xe0.mpeg", "0xc0.mpeg", "0xe0.mpg", "notes.txt"}) touch(cwd.file(name));
    pt::sent.clear();
    execute_file_read_plugins();
    std::sort(pt::sent.begin(), pt::sent.end());
    EXPECT_EQ(pt::sent, (std::vector<std::string>{
                            "(execute-file-read-plugins  \"0xc0.mpeg\" #xc0)",
                            "(execute-file-read-plugins  \"0xe0.mpeg\" #xe0)",
                        }));
}

TEST(FileReadHook, NothingWhilePluginsAreUnavailable) {
    in_temp_cwd cwd;
    touch(cwd.file("0xe0.mpeg"));
    pt::sent.clear();
    plugin_extensions_are_available = false;
    execute_file_read_plugins();
    plugin_extensions_are_available = true;
    EXPECT_TRUE(pt::sent.empty());
}

TEST(FileReadHook, NamesAreQuotedAndBoundedInTheText) {
    in_temp_cwd cwd;
    // A quote in the name stays inside the Scheme string.
    touch(cwd.file("0xe\"1.mpeg"));
    // Escaping doubles this name beyond the 512-byte text.
    std::string huge = "0x" + std::string(240, '"') + ".mpeg";
    touch(cwd.file(huge));
    pt::sent.clear();
    testing::internal::CaptureStdout();
    execute_file_read_plugins();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(execute-file-read-plugins  \"0xe\\\"1.mpeg\" #xe\")"}));
    EXPECT_NE(out.find("File name too long for the plug-ins, skipped: " + huge + "\n"), std::string::npos) << out;
}

TEST(FileReadHook, PrivateDirectoryGivesFullPathsAndSparesTheWorkingDirectory) {
    in_temp_cwd cwd;
    tu::write_file(cwd.file("0xe0.mpeg"), {7, 7, 7});  // the user's own file
    ASSERT_TRUE(make_extraction_directory());
    const std::string dir = _extraction_directory;
    EXPECT_NE(dir.find("/tarvel_viewer."), std::string::npos) << dir;
    touch(extraction_file_path(0xc0));
    pt::sent.clear();
    execute_file_read_plugins();
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(execute-file-read-plugins  \"" + dir + "/0xc0.mpeg\" #xc0)"}));
    delete_extracted_streams();
    EXPECT_FALSE(fs::exists(dir + "/0xc0.mpeg"));
    touch(extraction_file_path(0xe0));
    remove_extraction_directory();
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(_extraction_directory.empty());
    EXPECT_EQ(tu::read_bytes(cwd.file("0xe0.mpeg")), (std::vector<uint8_t>{7, 7, 7}));
}

TEST(StreamableHook, InstalledWithThePluginsAndEvaluatesNothing) {
    EXPECT_EQ(_streamable_plugins_hook, execute_buffer_streamable_plugins_hook);
    in_temp_cwd cwd;
    touch(cwd.file("0xe0.mpeg"));
    pt::sent.clear();
    unsigned char payload[4] = {0, 0, 1, 0xb3};
    execute_buffer_streamable_plugins(nullptr, nullptr, payload, 4);
    EXPECT_TRUE(pt::sent.empty());
}

// ---------------------------------------------------------------------------
// End to end with the shipped glue and plug-ins.

constexpr const char* video_label = "MPEG video: sequence headers and picture types";
constexpr const char* audio_label = "MPEG audio: frame headers";

// Run from the toolbar with `stream`, OK in the dialog; returns standard
// output of the whole run.
std::string run_stream(const std::string& stream) {
    testing::internal::CaptureStdout();
    analyze_new_stream_callback(nullptr, nullptr);
    pt::pump();
    gtk_entry_set_text(GTK_ENTRY(run_mpegfile_entry), stream.c_str());
    GtkWidget* ok = gtu::find_button(new_stream_dialog, "OK");
    if (ok) pt::click(ok);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

int count_of(const std::vector<std::string>& texts, const std::string& prefix) {
    return static_cast<int>(std::count_if(texts.begin(), texts.end(),
                                          [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
}

TEST(EndToEnd, VideoPluginOnARealStream) {
    in_temp_cwd cwd;
    // As in the program: the extraction files in a private directory.
    ASSERT_TRUE(make_extraction_directory());
    const std::string dir = _extraction_directory;
    add_main_toolbar();
    testing::internal::CaptureStdout();
    configure_plugins_callback(nullptr, nullptr);
    pt::pump();
    std::string loading = testing::internal::GetCapturedStdout();
    EXPECT_NE(loading.find("/plugins/mpeg_video_interface...done\n"), std::string::npos) << loading;
    EXPECT_NE(loading.find("/plugins/mpeg_audio_interface...done\n"), std::string::npos) << loading;
    ASSERT_NE(plugins_view_widget, nullptr);
    GtkWidget* video = gtu::find_button(plugins_view_widget, video_label);
    GtkWidget* audio = gtu::find_button(plugins_view_widget, audio_label);
    ASSERT_TRUE(video && audio);

    testing::internal::CaptureStdout();
    pt::click(video);
    pt::click(gtu::find_button(plugins_view_widget, "OK"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mpeg-video: active\n");
    EXPECT_TRUE(_extract_streams);
    EXPECT_FALSE(_streamable_extract_streams);

    pt::sent.clear();
    std::string out = run_stream(std::string(TEST_DATA_DIR) + "/mpeg2_bframes_ffmpeg.mpg");
    ASSERT_GT(_n_all_packs(), 0u);
    EXPECT_TRUE(fs::exists(extraction_file_path(0xe0)));
    EXPECT_TRUE(fs::exists(extraction_file_path(0xc0)));
    EXPECT_TRUE(fs::is_empty(fs::current_path()));  // nothing in the working directory
    int extracted = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("0x", 0) == 0) ++extracted;
    EXPECT_EQ(count_of(pt::sent, "(execute-file-read-plugins "), extracted);
    EXPECT_EQ(count_of(pt::sent, "(execute-file-read-plugins  \"" + dir + "/0xe0.mpeg\" #xe0)"), 1);

    // 352x288 at 25 frames/s and 5 I, 13 P and 32 B pictures, as ffprobe
    // reports them for this sample.
    EXPECT_NE(out.find("mpeg-video: " + dir + "/0xe0.mpeg (stream #xe0)\n"
                       "  sequence header at 0 (MPEG-2): 352x288, aspect ratio code 1, frame rate 25 frames/s "
                       "(code 3), bit rate 800000 bit/s, VBV buffer size 112 (1835008 bits)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  pictures: I 5, P 13, B 32, total 50\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("mpeg-audio:"), std::string::npos) << out;

    // Both plug-ins on an MPEG-1 VCD stream: the previous files are gone,
    // each plug-in reads its own stream.
    testing::internal::CaptureStdout();
    configure_plugins_callback(nullptr, nullptr);
    pt::pump();
    pt::click(audio);
    pt::click(gtu::find_button(plugins_view_widget, "OK"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mpeg-audio: active\n");
    out = run_stream(std::string(TEST_DATA_DIR) + "/mpeg1_vcd_mplex.mpg");
    EXPECT_NE(out.find("mpeg-video: " + dir + "/0xe0.mpeg (stream #xe0)\n"
                       "  sequence header at 0 (MPEG-1): 352x288, aspect ratio code 1, frame rate 25 frames/s "
                       "(code 3), bit rate 1150000 bit/s, VBV buffer size 20 (327680 bits)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  pictures: I 4, P 13, B 32, total 49\n"), std::string::npos) << out;
    EXPECT_NE(out.find("mpeg-audio: " + dir + "/0xc0.mpeg (stream #xc0)\n"
                       "  MPEG-1 layer II, 224 kbit/s, 44100 Hz, stereo\n"
                       "  frames: 77\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Plugin error"), std::string::npos) << out;

    testing::internal::CaptureStdout();
    gtk_widget_destroy(plugins_view_widget);
    gtk_widget_destroy(new_stream_dialog);
    new_stream_dialog = nullptr;
    gtk_widget_destroy(main_app_window);
    main_app_window = nullptr;
    pt::pump();
    testing::internal::GetCapturedStdout();
    remove_extraction_directory();
    EXPECT_FALSE(fs::exists(dir));
}

TEST(EndToEnd, PluginsSeeTwoAudioStreamsApart) {
    in_temp_cwd cwd;
    testing::internal::CaptureStdout();
    delete_parser_structs();
    init_parser_structs();
    _extract_streams = true;
    parse_mpeg_file((std::string(TEST_DATA_DIR) + "/mpeg2_two_audio_ffmpeg.mpg").c_str());
    _extract_streams = false;
    testing::internal::GetCapturedStdout();
    pt::real_eval_str("(remove-all-plugins) (add-plugin (mpeg-audio-interface))");
    testing::internal::CaptureStdout();
    execute_file_read_plugins();
    std::string out = testing::internal::GetCapturedStdout();
    for (const char* id : {"c0", "c1"})
        EXPECT_NE(out.find(std::string("mpeg-audio: 0x") + id + ".mpeg (stream #x" + id +
                           ")\n  MPEG-1 layer II, 64 kbit/s, 48000 Hz, stereo\n  frames: 84\n"),
                  std::string::npos)
            << out;
    EXPECT_EQ(out.find("mpeg-video"), std::string::npos);
    pt::real_eval_str("(remove-all-plugins)");
}

TEST(EndToEnd, PluginsSurviveFilesThatAreNoStreams) {
    in_temp_cwd cwd;
    std::vector<uint8_t> noise(200000);
    uint32_t x = 12345;
    for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    tu::write_file(cwd.file("0xe0.mpeg"), noise);
    tu::write_file(cwd.file("0xc0.mpeg"), noise);
    tu::write_file(cwd.file("0xe1.mpeg"), {0, 0, 1, 0xb3, 0x16});  // header cut short
    tu::write_file(cwd.file("0xc1.mpeg"), {});
    pt::real_eval_str("(remove-all-plugins) (add-plugin (mpeg-audio-interface)) (add-plugin (mpeg-video-interface))");
    unsigned long errors = guile_errors_caught();
    testing::internal::CaptureStdout();
    execute_file_read_plugins();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(guile_errors_caught(), errors);
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
    EXPECT_NE(out.find("mpeg-audio: 0xc0.mpeg (stream #xc0)\n  frames: 0, bytes skipped: 200000\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("mpeg-audio: 0xc1.mpeg (stream #xc1)\n  frames: 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("mpeg-video: 0xe1.mpeg (stream #xe1)\n  sequence header at 0 (MPEG-1): 352x0,"),
              std::string::npos)
        << out;
    pt::real_eval_str("(remove-all-plugins)");
}

void prepare() {
    tarvel_viewer_root_dir = DATA_DIR;
    init_plugins();
    if (!plugin_extensions_are_available) std::fprintf(stderr, "The glue in %s did not load\n", DATA_DIR);
    // The example plug-ins, for the tests that use them without the window.
    for (const char* name : {"mpeg_video_interface", "mpeg_audio_interface"})
        GH_EVAL_FILE((std::string(DATA_DIR) + "/plugins/" + name).c_str());
}

}  // namespace

int main(int argc, char** argv) { return pt::main_with_guile_and_display(argc, argv, prepare); }
