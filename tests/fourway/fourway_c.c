/* The C interface's column of the four-front-end table (fourway_test.py):
 *   fourway_c input output rate_set sample_rate salvage
 * converts with sonx_convert_file (and its report of the input's lengths),
 * describes the input with sonx_get_info
 * and, for a QCP input, decodes its bytes with sonx_decode_rate into
 * output.pcm (raw 16-bit samples), then prints what each call gave as one
 * JSON object, facts in velconv -i --json's names. Exits 0 whatever the
 * calls gave; 2 when it cannot run them. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sonx/sonx_c.h"

static void print_string(const char *text) {
    putchar('"');
    for (const unsigned char *at = (const unsigned char *)text; *at; ++at) {
        if (*at == '"' || *at == '\\')
            printf("\\%c", *at);
        else if (*at < 0x20)
            printf("\\u%04x", *at);
        else
            putchar(*at);
    }
    putchar('"');
}

static void print_outcome(const char *name, int status) {
    char message[1024];
    sonx_last_error(NULL, message, sizeof message);
    printf("\"%s\":{\"status\":%d,\"message\":", name, status);
    print_string(status == SONX_OK ? "" : message);
    putchar('}');
}

static void print_facts(const sonx_info *info) {
    const int qcp = info->kind == SONX_TYPE_QCP;
    printf(",\"facts\":{\"container\":\"%s\",\"codec\":", qcp ? "qcp" : "wav");
    print_string(info->codec);
    printf(",\"decodable\":%s,\"sampleRate\":%u,\"samples\":%llu,\"duration\":%.3f",
           info->decodable ? "true" : "false", (unsigned)info->sample_rate, (unsigned long long)info->samples,
           info->duration);
    if (qcp) {
        const char *rate_set = sonx_rate_set_name(info->rate_set);
        printf(",\"rateSet\":");
        if (rate_set)
            print_string(rate_set);
        else
            printf("null");
        printf(",\"packets\":%u,\"packetsByRate\":{", (unsigned)info->packets);
        for (int rate = 0; rate < SONX_PACKET_RATES; ++rate)
            printf("%s\"%s\":%u", rate ? "," : "", sonx_packet_rate_name(rate), (unsigned)info->packets_by_rate[rate]);
        printf("},\"packetsPromised\":");
        if (info->promise_known)
            printf("%u", (unsigned)info->packets_promised);
        else
            printf("null");
    } else {
        printf(",\"channels\":%u,\"sampleBits\":%u", (unsigned)info->channels, (unsigned)info->sample_bits);
    }
    printf(",\"label\":");
    print_string(info->label);
    printf(",\"text\":");
    print_string(info->text);
    if (qcp) printf(",\"averageBitRate\":%u", (unsigned)info->average_bit_rate);
    printf(",\"cutShort\":%s}", info->cut_short ? "true" : "false");
}

static int decode_to(const char *input, const char *output, int salvage, uint32_t sample_rate) {
    FILE *in = fopen(input, "rb");
    if (!in) return -1;
    fseek(in, 0, SEEK_END);
    const long length = ftell(in);
    fseek(in, 0, SEEK_SET);
    if (length < 0) {
        fclose(in);
        return -1;
    }
    unsigned char *bytes = malloc(length > 0 ? (size_t)length : 1);
    const size_t got = bytes ? fread(bytes, 1, (size_t)length, in) : 0;
    fclose(in);
    int16_t *pcm = NULL;
    size_t samples = 0;
    const int status = sonx_decode_rate(bytes, got, salvage, sample_rate, &pcm, &samples, NULL);
    free(bytes);
    FILE *out = fopen(output, "wb");
    if (out) {
        fwrite(pcm, sizeof *pcm, samples, out);
        fclose(out);
    }
    sonx_free(pcm);
    return status;
}

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: fourway_c input output rate_set sample_rate salvage\n");
        return 2;
    }
    sonx_options options = {SONX_TYPE_AUTO, sonx_rate_set_by_name(argv[3]), atoi(argv[5]), 0,
                            (uint32_t)strtoul(argv[4], NULL, 10)};
    sonx_report report;
    printf("{");
    print_outcome("convert", sonx_convert_file(argv[1], argv[2], &options, NULL, NULL, &report));
    printf(",\"report\":{\"lengthDamaged\":%s,\"salvaged\":%s,\"blocksRead\":%llu,\"blocksPromised\":",
           report.length_damaged ? "true" : "false", report.salvaged ? "true" : "false",
           (unsigned long long)report.blocks_read);
    if (report.promise_known)
        printf("%llu}", (unsigned long long)report.blocks_promised);
    else
        printf("null}");
    sonx_info info;
    const int described = sonx_get_info(argv[1], &info);
    printf(",");
    print_outcome("info", described);
    if (described == SONX_OK) print_facts(&info);
    sonx_kind_info kind;
    if (sonx_kind_of_file(argv[1], &kind) == SONX_OK && kind.kind == SONX_KIND_QCP) {
        char pcm[4096];
        snprintf(pcm, sizeof pcm, "%s.pcm", argv[2]);
        const int status = decode_to(argv[1], pcm, options.salvage, options.sample_rate ? options.sample_rate : 8000);
        printf(",");
        print_outcome("decode", status);
    }
    printf("}\n");
    return 0;
}
