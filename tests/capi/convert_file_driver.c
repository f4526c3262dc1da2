/* sonx_convert_file as a program, so the output-safety tests can fail its
 * system calls and signal it as they do velconv:
 *   convert_file_driver [-c] [-d] [-t N] input output
 *   -c  cancel at the first progress call
 *   -d  date the output like the input (sonx_options.keep_date)
 *   -t  N conversions at once on threads, into output.1 to output.N
 * Exits 0, or prints "ERROR: " and the library's message and exits 255. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sonx/sonx_c.h"

static int cancel_at_once(unsigned percent, void *user) {
    (void)percent;
    (void)user;
    return 1;
}

static sonx_options options = {SONX_TYPE_AUTO, SONX_RATE_VFR, 0, 0, 0};
static sonx_progress_fn progress = NULL;

struct job {
    const char *input;
    char output[1024];
    int status;
    char message[1024];
};

static void *convert(void *argument) {
    struct job *job = argument;
    job->status = sonx_convert_file(job->input, job->output, &options, progress, NULL, NULL);
    sonx_last_error(NULL, job->message, sizeof job->message);
    return NULL;
}

int main(int argc, char **argv) {
    int threads = 0, first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        if (strcmp(argv[first], "-c") == 0) progress = cancel_at_once;
        if (strcmp(argv[first], "-d") == 0) options.keep_date = 1;
        if (strcmp(argv[first], "-t") == 0 && first + 1 < argc) threads = atoi(argv[++first]);
    }
    if (argc - first != 2 || threads < 0 || threads > 64) {
        fprintf(stderr, "usage: convert_file_driver [-c] [-d] [-t N] input output\n");
        return 2;
    }
    struct job jobs[64];
    pthread_t running[64];
    const int count = threads ? threads : 1;
    for (int i = 0; i < count; ++i) {
        jobs[i].input = argv[first];
        if (threads)
            snprintf(jobs[i].output, sizeof jobs[i].output, "%s.%d", argv[first + 1], i + 1);
        else
            snprintf(jobs[i].output, sizeof jobs[i].output, "%s", argv[first + 1]);
        if (pthread_create(&running[i], NULL, convert, &jobs[i]) != 0) return 2;
    }
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        pthread_join(running[i], NULL);
        if (jobs[i].status != SONX_OK && !failed++) fprintf(stderr, "ERROR: %s\n", jobs[i].message);
    }
    return failed ? 255 : 0;
}
