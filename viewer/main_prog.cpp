// Body of the analyser: plug-ins, the stream of the command line, the main
// window and the main loop, then the clean-up.
#include "config.h"
#include "guile_binding.h"
#include "parser.h"
#include "shell.h"

void make_message_log_view() {}

void main_prog(int argc, char** argv) {
    init_plugins();
    // The first argument is always a stream file: it is parsed before the
    // toolkit looks at the arguments.
    if (argc > 1) parse_mpeg_file(argv[1]);
    gtk_init(&argc, &argv);
    add_main_toolbar();
    make_message_log_view();
    gtk_main();

    delete_parser_structs();
    delete_extracted_streams();
    close_configs();
}
