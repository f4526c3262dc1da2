/* The C interface as a C99 program uses it: round trips equal to velconv's
 * bytes, cancel of a long encode, status codes. Arguments: a speech WAV, the
 * velconv binary, a scratch folder, and the longest a cancel may take in
 * milliseconds (50 when not given). */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "sonx/sonx_c.h"

static int failures = 0;
#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                      \
        }                                                                    \
    } while (0)

static unsigned char *slurp(const char *path, size_t *length) {
    FILE *file = fopen(path, "rb");
    if (!file) return NULL;
    fseek(file, 0, SEEK_END);
    *length = (size_t)ftell(file);
    fseek(file, 0, SEEK_SET);
    unsigned char *bytes = malloc(*length ? *length : 1);
    if (fread(bytes, 1, *length, file) != *length) *length = 0;
    fclose(file);
    return bytes;
}

static int same_file(const char *a, const char *b) {
    size_t la = 0, lb = 0;
    unsigned char *x = slurp(a, &la), *y = slurp(b, &lb);
    const int same = x && y && la == lb && memcmp(x, y, la) == 0;
    free(x);
    free(y);
    return same;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

/* Bytes through the C calls equal velconv's, both ways and in memory. */
static void round_trips(const char *wav, const char *velconv, const char *dir) {
    char qcp[512], back[512], reference_qcp[512], reference_wav[512], command[2048];
    snprintf(qcp, sizeof qcp, "%s/c.qcp", dir);
    snprintf(back, sizeof back, "%s/c.wav", dir);
    snprintf(reference_qcp, sizeof reference_qcp, "%s/v.qcp", dir);
    snprintf(reference_wav, sizeof reference_wav, "%s/v.wav", dir);
    snprintf(command, sizeof command, "'%s' -f '%s' '%s' && '%s' -f '%s' '%s'", velconv, wav, reference_qcp, velconv,
             reference_qcp, reference_wav);
    CHECK(system(command) == 0);

    sonx_report report;
    CHECK(sonx_convert_file(wav, qcp, NULL, NULL, NULL, &report) == SONX_OK);
    CHECK(same_file(qcp, reference_qcp));
    CHECK(sonx_convert_file(qcp, back, NULL, NULL, NULL, &report) == SONX_OK);
    CHECK(same_file(back, reference_wav));

    /* Memory: decode gives velconv's samples, encode of them at 8000 Hz the
     * bytes a WAV of them gives. */
    size_t qcp_length = 0, wav_length = 0;
    unsigned char *qcp_bytes = slurp(qcp, &qcp_length), *wav_bytes = slurp(back, &wav_length);
    int16_t *pcm = NULL;
    size_t samples = 0;
    CHECK(sonx_decode(qcp_bytes, qcp_length, 0, &pcm, &samples, NULL) == SONX_OK);
    CHECK(samples * 2 + 44 == wav_length && memcmp(pcm, wav_bytes + 44, samples * 2) == 0);
    void *encoded = NULL;
    size_t encoded_length = 0;
    CHECK(sonx_encode(pcm, samples, 8000, SONX_RATE_VFR, &encoded, &encoded_length) == SONX_OK);
    CHECK(encoded_length > 0 && encoded_length < qcp_length * 2);

    /* Streaming read gives the same samples. */
    sonx_file *file = NULL;
    CHECK(sonx_open_read(qcp, 0, &file) == SONX_OK && sonx_file_sample_rate(file) == 8000);
    int16_t *streamed = malloc((samples + 1600) * sizeof *streamed);
    size_t total = 0, got = 0;
    while (file && sonx_read_pcm(file, streamed + total, 1600, &got) == SONX_OK && got > 0) total += got;
    CHECK(total == samples && memcmp(streamed, pcm, samples * 2) == 0);
    CHECK(sonx_close(file) == SONX_OK);

    /* Streaming write of those samples makes a QCP file that decodes. */
    char written[512];
    snprintf(written, sizeof written, "%s/w.qcp", dir);
    CHECK(sonx_open_write(written, NULL, 8000, &file) == SONX_OK);
    CHECK(sonx_write_pcm(file, pcm, samples / 2) == SONX_OK && sonx_write_pcm(file, pcm + samples / 2, samples - samples / 2) == SONX_OK);
    CHECK(sonx_close(file) == SONX_OK);
    sonx_info info;
    CHECK(sonx_get_info(written, &info) == SONX_OK && info.kind == SONX_TYPE_QCP && info.samples == samples);

    /* Chunks and information. */
    CHECK(sonx_set_chunk(written, "labl", "kitchen memo", 12) == SONX_OK);
    char label[64] = {0};
    size_t stored = 0;
    CHECK(sonx_get_chunk(written, "labl", label, sizeof label, &stored) == SONX_OK && stored == 48);
    CHECK(strcmp(label, "kitchen memo") == 0);
    CHECK(sonx_get_info(written, &info) == SONX_OK && strcmp(info.label, "kitchen memo") == 0);
    CHECK(strcmp(info.codec, "QCELP-13K") == 0 && info.rate_set == SONX_RATE_VFR && info.sample_rate == 8000);
    CHECK(info.duration > 0 && info.packets == samples / 160 && !info.cut_short);
    {
        /* EVRC's identity as a QCP file stores it, and one nobody uses */
        static const unsigned char evrc[16] = {0x8d, 0xd4, 0x89, 0xe6, 0x76, 0x90, 0xb5, 0x46,
                                               0x91, 0xef, 0x73, 0x6a, 0x51, 0x00, 0xce, 0xb4};
        static const unsigned char unknown[16] = {0};
        CHECK(strcmp(sonx_codec_name(evrc), "EVRC") == 0 && sonx_codec_name(unknown) == NULL);
    }
    CHECK(sonx_get_info_memory(qcp_bytes, qcp_length, &info) == SONX_OK && info.packets * 160 == samples);

    /* A labelled memo decodes to velconv's bytes: the label goes into the WAV's INFO chunk. */
    char labelled[512], reference_labelled[512];
    snprintf(labelled, sizeof labelled, "%s/labelled.wav", dir);
    snprintf(reference_labelled, sizeof reference_labelled, "%s/v-labelled.wav", dir);
    snprintf(command, sizeof command, "'%s' -f '%s' '%s'", velconv, written, reference_labelled);
    CHECK(system(command) == 0);
    CHECK(sonx_convert_file(written, labelled, NULL, NULL, NULL, NULL) == SONX_OK);
    CHECK(same_file(labelled, reference_labelled));
    CHECK(sonx_get_info(labelled, &info) == SONX_OK && info.kind == SONX_TYPE_WAV && strcmp(info.label, "kitchen memo") == 0);

    sonx_kind_info kind;
    CHECK(sonx_kind_of_file(written, &kind) == SONX_OK && kind.kind == SONX_KIND_QCP && kind.codec_known &&
          strcmp(sonx_codec_name(kind.codec), "QCELP-13K") == 0);
    for (int rate_set = SONX_RATE_VFR; rate_set <= SONX_RATE_FHR; ++rate_set)
        CHECK(sonx_rate_set_by_name(sonx_rate_set_name(rate_set)) == rate_set && sonx_rate_set_words(rate_set));
    CHECK(sonx_rate_set_by_name("VFR") == SONX_RATE_NONE && sonx_rate_set_name(4) == NULL);
    CHECK(strcmp(sonx_packet_rate_name(SONX_PACKETS_ERASURE), "erasure") == 0 && !sonx_packet_rate_name(SONX_PACKET_RATES));

    sonx_free(pcm);
    sonx_free(encoded);
    free(streamed);
    free(qcp_bytes);
    free(wav_bytes);
}

struct cancel_state {
    double started, asked;
    int calls;
};

static int stop_after_a_while(unsigned percent, void *user) {
    struct cancel_state *state = user;
    (void)percent;
    ++state->calls;
    if (state->asked == 0 && now() - state->started > 0.2) state->asked = now();
    return state->asked != 0;
}

/* A ten-minute encode stops soon after the progress function asks, and
 * leaves no output. */
static void cancel(const char *dir, double limit) {
    char wav[512], qcp[512];
    snprintf(wav, sizeof wav, "%s/long.wav", dir);
    snprintf(qcp, sizeof qcp, "%s/long.qcp", dir);
    const size_t samples = 8000u * 600;
    int16_t *pcm = malloc(samples * sizeof *pcm);
    for (size_t i = 0; i < samples; ++i) pcm[i] = (int16_t)((i * 7919u) % 20000u) - 10000; /* noise-like */
    sonx_file *file = NULL;
    sonx_options as_wav = {SONX_TYPE_WAV, SONX_RATE_VFR, 0, 0, 0};
    CHECK(sonx_open_write(wav, &as_wav, 8000, &file) == SONX_OK);
    CHECK(sonx_write_pcm(file, pcm, samples) == SONX_OK);
    CHECK(sonx_close(file) == SONX_OK);
    free(pcm);

    struct cancel_state state = {now(), 0, 0};
    const int status = sonx_convert_file(wav, qcp, NULL, stop_after_a_while, &state, NULL);
    const double latency = now() - state.asked;
    printf("cancel: %d progress calls, stopped %.1f ms after asking\n", state.calls, latency * 1000);
    CHECK(status == SONX_ERR_CANCELLED);
    CHECK(state.asked > 0 && latency < limit);
    CHECK(access(qcp, F_OK) != 0);
    char text[256];
    CHECK(sonx_last_error(NULL, text, sizeof text) == SONX_ERR_CANCELLED && strlen(text) > 0);
}

/* Each way of failing has its own status and a text. */
static void errors(const char *dir) {
    char missing[512], garbage[512], out[512];
    snprintf(missing, sizeof missing, "%s/missing.wav", dir);
    snprintf(garbage, sizeof garbage, "%s/garbage.qcp", dir);
    snprintf(out, sizeof out, "%s/out.qcp", dir);
    FILE *file = fopen(garbage, "wb");
    fputs("this is no RIFF file at all", file);
    fclose(file);
    static const unsigned char truncated_riff[] = "RIFF\x10\0\0\0QLCMfmt ";
    int16_t *pcm = NULL;
    size_t samples = 0;
    char text[256];
    struct {
        int status, expected;
    } cases[] = {
        {sonx_convert_file(missing, out, NULL, NULL, NULL, NULL), SONX_ERR_OPEN},
        {sonx_convert_file(garbage, out, NULL, NULL, NULL, NULL), SONX_ERR_NOT_AUDIO},
        {sonx_convert_file(NULL, out, NULL, NULL, NULL, NULL), SONX_ERR_INVALID},
        {sonx_decode(truncated_riff, sizeof truncated_riff - 1, 0, &pcm, &samples, NULL), SONX_ERR_READ},
        {sonx_encode(NULL, 0, 8000, 7, (void **)&pcm, &samples), SONX_ERR_INVALID},
        {sonx_set_chunk(garbage, "labl", "x", 1), SONX_ERR_NOT_AUDIO},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (cases[i].status != cases[i].expected)
            fprintf(stderr, "error case %zu: status %d (%s), expected %d\n", i, cases[i].status,
                    sonx_strerror(cases[i].status), cases[i].expected);
        CHECK(cases[i].status == cases[i].expected);
    }
    CHECK(sonx_last_error(NULL, text, sizeof text) == SONX_ERR_NOT_AUDIO && strlen(text) > 0);
    CHECK(strcmp(sonx_strerror(SONX_ERR_CANCELLED), "Cancelled") == 0 && strcmp(sonx_strerror(999), "Unknown status") == 0);
    char version[32];
    snprintf(version, sizeof version, "%d.%d.%d", SONX_VERSION_MAJOR, SONX_VERSION_MINOR, SONX_VERSION_PATCH);
    CHECK(strcmp(sonx_version_string(), version) == 0);
}

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: %s speech.wav velconv scratch-folder [cancel-limit-ms]\n", argv[0]);
        return 2;
    }
    round_trips(argv[1], argv[2], argv[3]);
    errors(argv[3]);
    cancel(argv[3], (argc == 5 ? atof(argv[4]) : 50) / 1000);
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}
