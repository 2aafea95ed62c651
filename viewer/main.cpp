// tarvel_viewer: the graphical analyser of MPEG systems streams.
#include <cstdio>

#include "config.h"
#include "guile_binding.h"
#include "parser.h"
#include "shell.h"

int main(int argc, char** argv) {
    // Messages are seen as they are printed, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    init_parser_structs();
    init_configs();
    load_guile();
    if (g_guile_lib && resolve_gh_enter())
        GH_ENTER(argc, argv, main_prog);
    else
        main_prog(argc, argv);
    close_guile();
    return 0;
}
