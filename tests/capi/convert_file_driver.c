/* sonx_convert_file as a program, so the output-safety tests can fail its
 * system calls and signal it as they do velconv:
 *   convert_file_driver [-c] [-d] input output
 *   -c  cancel at the first progress call
 *   -d  date the output like the input (sonx_options.keep_date)
 * Exits 0, or prints "ERROR: " and the library's message and exits 255. */
#include <stdio.h>
#include <string.h>

#include "sonx/sonx_c.h"

static int cancel_at_once(unsigned percent, void *user) {
    (void)percent;
    (void)user;
    return 1;
}

int main(int argc, char **argv) {
    sonx_options options = {SONX_TYPE_AUTO, SONX_RATE_VFR, 0, 0};
    sonx_progress_fn progress = NULL;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        if (strcmp(argv[first], "-c") == 0) progress = cancel_at_once;
        if (strcmp(argv[first], "-d") == 0) options.keep_date = 1;
    }
    if (argc - first != 2) {
        fprintf(stderr, "usage: convert_file_driver [-c] [-d] input output\n");
        return 2;
    }
    if (sonx_convert_file(argv[first], argv[first + 1], &options, progress, NULL, NULL) == SONX_OK) return 0;
    char message[1024];
    sonx_last_error(NULL, message, sizeof message);
    fprintf(stderr, "ERROR: %s\n", message);
    return 255;
}
