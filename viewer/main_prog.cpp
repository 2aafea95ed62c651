// Body of the analyser: plug-ins, the stream of the command line, the main
// window and the main loop, then the clean-up.
#include <cstdio>

#include "config.h"
#include "guile_binding.h"
#include "parser.h"
#include "shell.h"

void make_message_log_view() {}

void main_prog(int argc, char** argv) {
    // Extraction files live in a private directory, never in the user's
    // working directory.
    const bool private_directory = make_extraction_directory();
    init_plugins();
    if (!private_directory && plugin_extensions_are_available) {
        std::printf("Plugins will not be available \n");
        plugin_extensions_are_available = false;
    }
    // The first argument is always a stream file: it is parsed before the
    // toolkit looks at the arguments.  What goes wrong is said once the
    // main window is there.
    const bool stream_named = argc > 1;
    analysis_outcome first;
    if (stream_named) first = analyse_stream_file(argv[1], false);
    gtk_init(&argc, &argv);
    add_main_toolbar();
    make_message_log_view();
    if (stream_named) report_analysis_outcome(first);
    gtk_main();

    delete_parser_structs();
    remove_extraction_directory();
    close_configs();
}
