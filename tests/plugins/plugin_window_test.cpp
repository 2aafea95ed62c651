// The "Activate Plugins" window with the real interpreter and a glue that
// records what the window asks of it.
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "config.h"
#include "parser.h"
#include "plugin_test_support.h"
#include "plugin_window.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

// Glue that logs the registry calls and the configure messages.
constexpr const char* recording_glue = R"(
(define log '())
(define (note x) (set! log (cons x log)))
(define active '())
(define (remove-all-plugins) (set! active '()))
(define (add-plugin p) (note (list 'add (p 'name))) (set! active (cons p active)))
(define (remove-plugin p) (note (list 'remove (p 'name))) (set! active (delq p active)))
(define (number-of-plugins) (length active))
(define (number-of-streamable-plugins)
  (let loop ((ps active) (n 0))
    (cond ((null? ps) n) ((eq? ((car ps) 'streamable) #t) (loop (cdr ps) (+ n 1))) (else (loop (cdr ps) n)))))
(define (execute-file-read-plugins name id) (note (list 'read name id)))
(define (make-test-plugin name streamable)
  (lambda (m)
    (case m
      ((name) name)
      ((streamable) streamable)
      ((description) (lambda () (string-append "Plug-in " name)))
      ((configure) (lambda () (note (list 'configure name))))
      (else #f))))
)";

std::unique_ptr<tu::temp_dir> glue_root;

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Scheme time limit of these tests, set through the configuration file.
constexpr double time_limit = 0.5;

void prepare() {
    glue_root = std::make_unique<tu::temp_dir>();
    fs::create_directory(glue_root->path() / "guile_glue");
    write_text(glue_root->path() / "guile_glue" / "plugins.scm", recording_glue);
    fs::create_directory(glue_root->path() / ".tarvel_tools");
    write_text(glue_root->path() / ".tarvel_tools" / "tarvel_viewer.config",
               "viewer_root_dir = " + glue_root->path().string() + "\nscheme_time_limit = 0.5\n");
    setenv("HOME", glue_root->path().c_str(), 1);
    init_configs();
    init_plugins();
}

// A root directory whose plugins/ holds the given interface files.
class plugin_root {
public:
    plugin_root() { fs::create_directory(dir_.path() / "plugins"); }
    void add(const std::string& file_name, const std::string& text) { write_text(plugins() / file_name, text); }
    // An interface file defining NAME-interface as a test plug-in.
    void add_plugin(const std::string& file_name, const std::string& interface_name, bool streamable = false) {
        add(file_name, "(define (" + interface_name + "-interface) (make-test-plugin \"" + interface_name + "\" " +
                           (streamable ? "#t" : "#f") + "))\n");
    }
    fs::path plugins() const { return dir_.path() / "plugins"; }
    std::string root() const { return dir_.path().string(); }

private:
    tu::temp_dir dir_;
};

GtkWidget* window_box() { return gtk_bin_get_child(GTK_BIN(plugins_view_widget)); }

std::vector<GtkWidget*> box_children() {
    std::vector<GtkWidget*> out;
    GList* children = gtk_container_get_children(GTK_CONTAINER(window_box()));
    for (GList* l = children; l; l = l->next) out.push_back(GTK_WIDGET(l->data));
    g_list_free(children);
    return out;
}

// The check buttons of the window (every child but the last, OK).
std::vector<GtkWidget*> check_buttons() {
    std::vector<GtkWidget*> children = box_children();
    children.pop_back();
    return children;
}

GtkWidget* ok_button() { return box_children().back(); }

std::string label_of(GtkWidget* button) { return gtk_button_get_label(GTK_BUTTON(button)); }

GtkWidget* check_labelled(const std::string& label) {
    for (GtkWidget* b : check_buttons())
        if (label_of(b) == label) return b;
    return nullptr;
}

class PluginWindow : public testing::Test {
protected:
    void SetUp() override {
        pt::sent.clear();
        pt::written("(set! log '())");
        _extract_streams = false;
        _streamable_extract_streams = false;
    }
    void TearDown() override {
        testing::internal::CaptureStdout();
        if (plugins_view_widget) gtk_widget_destroy(plugins_view_widget);
        pt::pump();
        testing::internal::GetCapturedStdout();
        tarvel_viewer_root_dir = glue_root->path().string();
    }

    // Opens the window on `r`, returning what it printed.
    std::string open(const plugin_root& r) {
        tarvel_viewer_root_dir = r.root();
        testing::internal::CaptureStdout();
        configure_plugins();
        pt::pump();
        return testing::internal::GetCapturedStdout();
    }

    // Opens the window on `r` with the one plug-in "video" and returns its
    // check button; the texts sent so far are forgotten.
    GtkWidget* open_with_video_plugin(plugin_root& r) {
        r.add_plugin("video_interface", "video");
        open(r);
        GtkWidget* check = check_buttons().at(0);
        pt::sent.clear();
        return check;
    }
};

TEST_F(PluginWindow, DirectoryRulesAndInstanceTexts) {
    plugin_root r;
    r.add_plugin("a_b_interface", "a-b");
    r.add("notes.txt", "(error \"never loaded\")");
    r.add(".x_interface", "(error \"never loaded\")");
    r.add("xinterface", "(error \"never loaded\")");
    r.add("name.interfacescm", "(error \"never loaded\")");
    std::string out = open(r);

    EXPECT_EQ(out, "Loading plugin interface " + r.plugins().string() + "/a_b_interface...done\n");
    ASSERT_NE(plugins_view_widget, nullptr);
    EXPECT_EQ(pt::sent, (std::vector<std::string>{
                            "(remove-all-plugins)",
                            "(define x_plug0 (a-b-interface)) ((x_plug0 'description))",
                        }));
    ASSERT_EQ(check_buttons().size(), 1u);
    EXPECT_EQ(label_of(check_buttons()[0]), "Plug-in a-b");
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_buttons()[0])));
    EXPECT_EQ(_plugin_number, 1);
}

TEST_F(PluginWindow, ShortestQualifyingNames) {
    plugin_root r;
    r.add_plugin("ab.interface", "ab");
    r.add_plugin("xyinterface", "x");  // 11 characters: the 'y' is the separator
    open(r);
    std::set<std::string> labels;
    for (GtkWidget* b : check_buttons()) labels.insert(label_of(b));
    EXPECT_EQ(labels, (std::set<std::string>{"Plug-in ab", "Plug-in x"}));
    // Instances are numbered in directory order from 0.
    std::set<std::string> defines(pt::sent.begin() + 1, pt::sent.end());
    EXPECT_TRUE(defines.count("(define x_plug0 (ab-interface)) ((x_plug0 'description))") ||
                defines.count("(define x_plug0 (x-interface)) ((x_plug0 'description))"));
    EXPECT_TRUE(defines.count("(define x_plug1 (ab-interface)) ((x_plug1 'description))") ||
                defines.count("(define x_plug1 (x-interface)) ((x_plug1 'description))"));
}

TEST_F(PluginWindow, WindowLayout) {
    plugin_root r;
    r.add_plugin("one_interface", "one");
    r.add_plugin("two_interface", "two");
    open(r);
    GtkWindow* window = GTK_WINDOW(plugins_view_widget);
    EXPECT_STREQ(gtk_window_get_title(window), "Activate Plugins");
    EXPECT_FALSE(gtk_window_get_resizable(window));
    EXPECT_TRUE(gtk_widget_get_visible(plugins_view_widget));
    GtkWidget* box = window_box();
    ASSERT_TRUE(GTK_IS_BOX(box));
    EXPECT_EQ(gtk_orientable_get_orientation(GTK_ORIENTABLE(box)), GTK_ORIENTATION_VERTICAL);
    EXPECT_TRUE(gtk_box_get_homogeneous(GTK_BOX(box)));
    EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(box)), 3);
    ASSERT_EQ(box_children().size(), 3u);
    EXPECT_EQ(label_of(ok_button()), "OK");
    gboolean expand, fill;
    guint padding;
    GtkPackType pack;
    gtk_box_query_child_packing(GTK_BOX(box), ok_button(), &expand, &fill, &padding, &pack);
    EXPECT_TRUE(expand && fill);
    EXPECT_EQ(padding, 3u);
    for (GtkWidget* b : check_buttons()) {
        EXPECT_TRUE(GTK_IS_CHECK_BUTTON(b));
        gtk_box_query_child_packing(GTK_BOX(box), b, &expand, &fill, &padding, &pack);
        EXPECT_EQ(padding, 0u);
    }
}

TEST_F(PluginWindow, ClickingConfiguresThenAddsAndClickingAgainRemoves) {
    plugin_root r;
    GtkWidget* check = open_with_video_plugin(r);

    pt::click(check);
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check)));
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"((x_plug0 'configure))", "(add-plugin x_plug0)"}));
    EXPECT_EQ(pt::written("(reverse log)"), "((configure \"video\") (add \"video\"))");

    pt::sent.clear();
    pt::click(check);
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check)));
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(remove-plugin x_plug0)"}));
    EXPECT_EQ(pt::written("(number-of-plugins)"), "0");
}

TEST_F(PluginWindow, ToggleWithoutAReleaseKeepsTheRegistryInStep) {
    plugin_root r;
    GtkWidget* check = open_with_video_plugin(r);
    // What the keyboard or an accessibility "click" does.
    gtk_widget_activate(check);
    EXPECT_TRUE(gtu::pump_until([&] { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check)); }));
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"((x_plug0 'configure))", "(add-plugin x_plug0)"}));
    pt::sent.clear();
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), FALSE);
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(remove-plugin x_plug0)"}));
}

TEST_F(PluginWindow, ReleaseOutsideTheButtonChangesNothing) {
    plugin_root r;
    GtkWidget* check = open_with_video_plugin(r);
    pt::click_at(check, 5, 5, false);
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check)));
    EXPECT_TRUE(pt::sent.empty()) << pt::sent.front();
}

TEST_F(PluginWindow, OkCountsSwitchExtractionOnNeverOff) {
    plugin_root r;
    r.add_plugin("plain_interface", "plain");
    r.add_plugin("stream_interface", "stream", true);
    open(r);
    GtkWidget* plain = check_labelled("Plug-in plain");
    GtkWidget* stream = check_labelled("Plug-in stream");
    ASSERT_TRUE(plain && stream);

    // Nothing active: only the first count is asked, nothing is switched.
    pt::sent.clear();
    pt::click(ok_button());
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(number-of-plugins)"}));
    EXPECT_FALSE(gtk_widget_get_visible(plugins_view_widget));
    EXPECT_FALSE(_extract_streams);
    EXPECT_FALSE(_streamable_extract_streams);

    // One plug-in that does not stream: extraction on, streaming off.
    configure_plugins();
    pt::pump();
    pt::click(plain);
    pt::sent.clear();
    pt::click(ok_button());
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(number-of-plugins)", "(number-of-streamable-plugins)"}));
    EXPECT_TRUE(_extract_streams);
    EXPECT_FALSE(_streamable_extract_streams);

    // Switched off again: OK leaves extraction on.
    configure_plugins();
    pt::pump();
    pt::click(plain);
    pt::click(ok_button());
    EXPECT_TRUE(_extract_streams);

    // A streaming plug-in switches streaming on.
    configure_plugins();
    pt::pump();
    pt::click(stream);
    pt::click(ok_button());
    EXPECT_TRUE(_extract_streams);
    EXPECT_TRUE(_streamable_extract_streams);
}

TEST_F(PluginWindow, ReopeningKeepsEverything) {
    plugin_root r;
    r.add_plugin("video_interface", "video");
    open(r);
    GtkWidget* window = plugins_view_widget;
    GtkWidget* check = check_buttons().at(0);
    pt::click(check);
    pt::click(ok_button());
    pt::sent.clear();

    r.add_plugin("later_interface", "later");  // not seen: nothing is rescanned
    std::string out = open(r);
    EXPECT_EQ(out, "");
    EXPECT_EQ(plugins_view_widget, window);
    EXPECT_TRUE(gtk_widget_get_visible(window));
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check)));
    EXPECT_EQ(check_buttons().size(), 1u);
    pt::click(ok_button());
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(number-of-plugins)", "(number-of-streamable-plugins)"}));
    EXPECT_EQ(pt::written("(number-of-plugins)"), "1");
    EXPECT_TRUE(_extract_streams);
}

TEST_F(PluginWindow, DestroyResetsAndTheNextOpenLoadsAgain) {
    plugin_root r;
    r.add_plugin("video_interface", "video");
    open(r);
    pt::click(check_buttons().at(0));
    pt::click(ok_button());
    ASSERT_TRUE(_extract_streams);
    configure_plugins();
    pt::sent.clear();

    testing::internal::CaptureStdout();
    gtk_widget_destroy(plugins_view_widget);
    pt::pump();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "destroy plugins\n\n");
    EXPECT_EQ(plugins_view_widget, nullptr);
    EXPECT_FALSE(_extract_streams);
    EXPECT_EQ(_plugin_number, 0);
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(remove-all-plugins)"}));
    EXPECT_EQ(pt::written("(number-of-plugins)"), "0");

    pt::sent.clear();
    std::string out = open(r);
    EXPECT_EQ(out, "Loading plugin interface " + r.plugins().string() + "/video_interface...done\n");
    EXPECT_EQ(pt::sent.at(1), "(define x_plug0 (video-interface)) ((x_plug0 'description))");
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_buttons().at(0))));
}

TEST_F(PluginWindow, BrokenPluginsAreReportedAndTheOthersLoad) {
    plugin_root r;
    r.add("syntax_interface", "(define (syntax-interface) (make-test-plugin \"syntax\" #f)\n");
    r.add("raises_interface", "(error \"plug-in refuses to load\")\n");
    r.add("nodefinition_interface", "(define unrelated 1)\n");
    r.add("baddescription_interface",
          "(define (baddescription-interface) (lambda (m) (lambda () 42)))\n");
    r.add("odd(name_interface", "(define unrelated 2)\n");
    r.add_plugin("good_interface", "good");
    std::string out = open(r);

    for (const char* bad :
         {"syntax_interface", "raises_interface", "nodefinition_interface", "baddescription_interface",
          "odd(name_interface"})
        EXPECT_NE(out.find(std::string("Error loading ") + bad + "\n"), std::string::npos) << bad << "\n" << out;
    EXPECT_NE(out.find("/good_interface...done\n"), std::string::npos) << out;
    ASSERT_EQ(check_buttons().size(), 1u);
    EXPECT_EQ(label_of(check_buttons()[0]), "Plug-in good");
    // The good plug-in got the first free number.
    EXPECT_EQ(_plugin_number, 1);
    pt::click(check_buttons()[0]);
    EXPECT_EQ(pt::written("(reverse log)"), "((configure \"good\") (add \"good\"))");
}

TEST_F(PluginWindow, MissingDirectoryMakesNoWindow) {
    tu::temp_dir empty;
    tarvel_viewer_root_dir = empty.path().string();
    _extract_streams = true;
    _streamable_extract_streams = true;
    testing::internal::CaptureStdout();
    configure_plugins();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Couldn't open the plugins directory " + empty.path().string() + "/plugins/.");
    EXPECT_EQ(plugins_view_widget, nullptr);
    EXPECT_EQ(pt::sent, (std::vector<std::string>{"(remove-all-plugins)"}));
    EXPECT_FALSE(_extract_streams);
    EXPECT_FALSE(_streamable_extract_streams);
}

TEST_F(PluginWindow, PathsTooLongForTheBufferAreRefused) {
    // A directory path of about 480 characters: the plug-in's full path
    // does not fit in 512 bytes.
    tu::temp_dir top;
    fs::path deep = top.path();
    while (deep.string().size() < 400) deep /= std::string(50, 'd');
    deep /= std::string(450 - deep.string().size() - 1, 'e');
    ASSERT_EQ(deep.string().size(), 450u);
    fs::create_directories(deep / "plugins");
    const std::string name = std::string(60, 'n') + "_interface";
    write_text(deep / "plugins" / name, "(define x 1)\n");
    tarvel_viewer_root_dir = deep.string();
    testing::internal::CaptureStdout();
    configure_plugins();
    pt::pump();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error loading " + name + "\n");
    ASSERT_NE(plugins_view_widget, nullptr);
    EXPECT_EQ(check_buttons().size(), 0u);
}

TEST_F(PluginWindow, LoopingAndUnreadablePluginsAreBrokenWithinTheTimeLimit) {
    ASSERT_EQ(tarvel_scheme_time_limit, time_limit);
    plugin_root r;
    r.add("loop_interface", "(let loop () (loop))\n");
    // A description that loops inside a catch-all, which must not hold the
    // interruption.
    r.add("hidden_interface",
          "(define (hidden-interface) (lambda (m) (lambda ()"
          "  (catch #t (lambda () (let l () (l))) (lambda _ (let l () (l)))))))\n");
    r.add("stuck_interface",
          "(define (stuck-interface)"
          "  (lambda (m) (if (eq? m 'configure) (lambda () (sleep 1000)) (lambda () \"stuck\"))))\n");
    fs::create_symlink("/dev/zero", r.plugins() / "zero_interface");
    r.add("big_interface", ";" + std::string(max_scheme_file_size, ' ') + "\n");
    r.add_plugin("good_interface", "good");
    const auto start = std::chrono::steady_clock::now();
    std::string out = open(r);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_LT(seconds, 2 * time_limit + 1.5) << out;
    for (const char* bad : {"loop_interface", "hidden_interface", "zero_interface", "big_interface"})
        EXPECT_NE(out.find(std::string("Error loading ") + bad + "\n"), std::string::npos) << bad << "\n" << out;
    EXPECT_NE(out.find(r.plugins().string() + "/loop_interface: time limit of 0.5 s exceeded"), std::string::npos)
        << out;
    EXPECT_NE(out.find("not a regular file: " + r.plugins().string() + "/zero_interface\n"), std::string::npos);
    EXPECT_NE(out.find("larger than 1 MB: " + r.plugins().string() + "/big_interface\n"), std::string::npos);
    ASSERT_EQ(check_buttons().size(), 2u);

    // Activating the plug-in whose configure step never ends: it is
    // stopped, reported, kept out of the registry and greyed.
    GtkWidget* stuck = check_labelled("stuck");
    ASSERT_NE(stuck, nullptr);
    testing::internal::CaptureStdout();
    pt::click(stuck);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error loading stuck_interface\n"), std::string::npos) << out;
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(stuck)));
    EXPECT_FALSE(gtk_widget_get_sensitive(stuck));
    EXPECT_EQ(pt::written("(number-of-plugins)"), "0");

    // The window goes on working.
    pt::click(check_labelled("Plug-in good"));
    pt::click(ok_button());
    EXPECT_TRUE(_extract_streams);
    EXPECT_EQ(pt::written("(reverse log)"), "((configure \"good\") (add \"good\"))");
}

}  // namespace

int main(int argc, char** argv) { return pt::main_with_guile_and_display(argc, argv, prepare); }
