// Configuration file reader: the two-entries rule, comments, blanks inside
// keys, '~' expansion, the key and value limits and the integer rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "config.h"
#include "test_util.h"

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* home = std::getenv("HOME");
        old_home_ = home ? home : "";
        had_home_ = home != nullptr;
        setenv("HOME", dir_.path().c_str(), 1);
        std::filesystem::create_directories(dir_.path() / ".tarvel_tools");
        tarvel_clock_boundaries = 70000;
        tarvel_scheme_time_limit = default_scheme_time_limit;
        tvl_quern_exe_file_name.clear();
        tvl_quern_exe_file_name_set = false;
        close_configs();
    }
    void TearDown() override {
        close_configs();
        if (had_home_)
            setenv("HOME", old_home_.c_str(), 1);
        else
            unsetenv("HOME");
    }
    void write_config(const std::string& text) {
        tu::write_file((dir_.path() / ".tarvel_tools" / "tarvel_viewer.config").string(),
                       std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::string home() const { return dir_.path().string(); }

    tu::temp_dir dir_;
    std::string old_home_;
    bool had_home_ = false;
};

}  // namespace

TEST_F(ConfigTest, OnlyTheFirstTwoEntriesAreRead) {
    write_config("clock_boundaries=90\ntvl_quern_exe=/usr/bin/x\nviewer_root_dir=/opt/t\n");
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 90);
    EXPECT_EQ(tvl_quern_exe_file_name, "/usr/bin/x");
    EXPECT_EQ(tarvel_viewer_root_dir, default_root_dir());

    close_configs();
    write_config("# comment = not an entry\n\n   \n# another\nclock_boundaries=5\n\nviewer_root_dir=/opt/t\n");
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 5);
    EXPECT_EQ(tarvel_viewer_root_dir, "/opt/t");

    // The same key twice: the second wins.
    close_configs();
    write_config("viewer_root_dir=/a\nviewer_root_dir=/b\n");
    init_configs();
    EXPECT_EQ(tarvel_viewer_root_dir, "/b");
}

TEST_F(ConfigTest, KeysValuesAndHomeExpansion) {
    write_config("VIEWER_ROOT_DIR = ~/data\nclock_boundaries = -12abc\n");
    init_configs();
    EXPECT_EQ(tarvel_viewer_root_dir, home() + "/data");
    EXPECT_EQ(tarvel_clock_boundaries, -12);

    close_configs();
    write_config("viewer_\n root # a comment inside the key\n_dir=/a#b~c  \r\nclock_boundaries = x\n");
    init_configs();
    EXPECT_EQ(tarvel_viewer_root_dir, "/a#b~c  ");
    EXPECT_EQ(tarvel_clock_boundaries, 0);

    // Nothing after '=': the next non-blank line is the value.
    close_configs();
    tarvel_clock_boundaries = 70000;
    write_config("viewer_root_dir =\n\nclock_boundaries=5\nclock_boundaries=7\n");
    init_configs();
    EXPECT_EQ(tarvel_viewer_root_dir, "clock_boundaries=5");
    EXPECT_EQ(tarvel_clock_boundaries, 7);
}

TEST_F(ConfigTest, IntegerRule) {
    const std::pair<const char*, int32_t> cases[] = {
        {"123", 123},       {"+45", 45},          {"-0", 0},
        {"99999999999", INT32_MAX}, {"-99999999999999999999", INT32_MIN}, {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"--5", 0},   {" 7", 7},
    };
    for (const auto& [text, expected] : cases) {
        close_configs();
        write_config(std::string("clock_boundaries=") + text + "\n");
        init_configs();
        EXPECT_EQ(tarvel_clock_boundaries, expected) << text;
    }
}

TEST_F(ConfigTest, LimitsAndShortFiles) {
    // A 600-character key: the first read stops after 512 characters, the
    // second takes the remaining 88 as a key of its own.
    std::string long_key(600, 'k');
    write_config(long_key + "=1\nclock_boundaries=3\n");
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 70000);

    // A key whose 89 last characters make a known key.
    close_configs();
    write_config(std::string(512, 'z') + "clock_boundaries=4\n");
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 4);

    // A value of 5000 characters is cut to 1023.
    close_configs();
    write_config("viewer_root_dir=" + std::string(5000, 'v') + "\nclock_boundaries=9\n");
    init_configs();
    EXPECT_EQ(tarvel_viewer_root_dir, std::string(1023, 'v'));
    EXPECT_EQ(tarvel_clock_boundaries, 9);

    // One entry only; then a file ending inside a key.
    close_configs();
    write_config("clock_boundaries=11");
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 11);
    close_configs();
    write_config("clock_bound");
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 11);

    // Directly at the end after '=': an empty value.
    close_configs();
    write_config("viewer_root_dir=");
    init_configs();
    EXPECT_EQ(tarvel_viewer_root_dir, "");
}

TEST_F(ConfigTest, MissingFileOrHomeGivesDefaults) {
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 70000);
    EXPECT_EQ(tarvel_viewer_root_dir, default_root_dir());
    close_configs();
    unsetenv("HOME");
    init_configs();
    EXPECT_EQ(tarvel_viewer_root_dir, default_root_dir());
    close_configs();
    std::string long_home(3000, 'h');
    setenv("HOME", ("/" + long_home).c_str(), 1);
    init_configs();
    EXPECT_EQ(tarvel_clock_boundaries, 70000);
}

TEST_F(ConfigTest, DefaultRootFollowsTheData) {
    tu::temp_dir work;
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    std::string without = default_root_dir();
    std::filesystem::create_directory(work.path() / "guile_glue");
    std::string with = default_root_dir();
    std::filesystem::current_path(old);
    EXPECT_EQ(with, ".");
    EXPECT_NE(without, ".");
    EXPECT_TRUE(std::filesystem::is_directory(without + "/icons") ||
                std::filesystem::is_directory(without + "/guile_glue"))
        << without;
}

TEST_F(ConfigTest, SchemeTimeLimitInSeconds) {
    const std::pair<const char*, double> rows[] = {
        {"2", 2.0}, {"0.25", 0.25}, {"1.5s", 1.5}, {"0", 5.0}, {"-3", 5.0}, {"soon", 5.0}, {"99999999", 86400.0},
    };
    for (const auto& [value, seconds] : rows) {
        tarvel_scheme_time_limit = default_scheme_time_limit;
        close_configs();
        // The key is one of the two entries read; the third line is not.
        write_config(std::string("Scheme_Time_Limit = ") + value + "\nviewer_root_dir=/r\nclock_boundaries=1\n");
        init_configs();
        EXPECT_DOUBLE_EQ(tarvel_scheme_time_limit, seconds) << value;
        EXPECT_EQ(tarvel_viewer_root_dir, "/r");
        EXPECT_EQ(tarvel_clock_boundaries, 70000);
    }
}
