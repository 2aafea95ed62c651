// Starts like the analyser: loads Guile, enters it when it can, runs the
// plug-in set-up, then evaluates each further argument and prints its value
// as "=> <written form>".  The configuration file is read first, as the
// analyser reads it; ROOT replaces its root directory.
// Usage: guile_host_driver ROOT [EXPRESSION...]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config.h"
#include "guile_binding.h"

namespace {

void body(int argc, char** argv) {
    init_plugins();
    std::printf("plugins available: %s\n", plugin_extensions_are_available ? "yes" : "no");
    for (int i = 2; i < argc; ++i) {
        if (!GH_EVAL_STR || !guile_is_entered()) {
            std::printf("=> not evaluated\n");
            continue;
        }
        std::string text = std::string("(object->string (begin ") + argv[i] + "))";
        char* value = GH_SCM2NEWSTR(GH_EVAL_STR(text.c_str()), nullptr);
        std::printf("=> %s\n", value ? value : "no value");
        std::free(value);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: guile_host_driver ROOT [EXPRESSION...]\n");
        return 2;
    }
    init_configs();
    tarvel_viewer_root_dir = argv[1];
    load_guile();
    if (g_guile_lib && resolve_gh_enter())
        GH_ENTER(argc, argv, body);
    else
        body(argc, argv);
    close_guile();
    std::printf("end\n");
    return 0;
}
