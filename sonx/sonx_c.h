/* sonx: speech file conversion library, C interface.
 *
 * QCP (QCELP-13K) and WAV files converted, decoded, encoded, described and
 * tagged from C, or from any language that calls C (ctypes, cffi, JNA, Go,
 * Rust). Compiles as C99 and as C++; the library behind it is the one
 * sonx/sonx.h describes.
 *
 * Conventions that hold for every function below:
 * - Functions that can fail return a sonx_status: SONX_OK (0) on success,
 *   another value on failure. sonx_strerror gives its static text;
 *   sonx_last_error gives the detailed message of the failure.
 * - Sizes and counts are size_t or 64-bit; paths are NUL-terminated UTF-8
 *   (or whatever bytes the file system takes).
 * - Memory the library allocates for the caller (sonx_decode, sonx_encode)
 *   is given back with sonx_free, never with free().
 * - Threading: every function may be called from any thread. A sonx_file is
 *   used by one thread at a time; different sonx_file handles and the
 *   handle-less functions may run in parallel.
 * - Errors of handle-less calls are kept per thread: sonx_last_error(NULL,
 *   ...) tells the last one of the calling thread.
 * - A named file the library writes (sonx_convert_file, sonx_open_write and
 *   the C++ conversions and files given a path) never costs the caller the
 *   file it replaces: the output is made under a temporary name beside it
 *   ("name.velconv-XXXXXX"; beside the file a symbolic link points to),
 *   synced, and renamed over it only when complete, keeping the old file's
 *   mode, owner, group, ACL and extended attributes. A file whose identity a
 *   new file cannot carry (other hard links, another owner, a sticky
 *   folder) is rewritten in place once the output is complete, with its old
 *   bytes put back if that fails; a device or FIFO gets the output in one
 *   pass. A failure, a cancel or a signal leaves the old file as it was, or
 *   no file, and no temporary file. An output that is the input under
 *   another name (a hard or symbolic link) is refused with SONX_ERR_INVALID.
 * - Signals: while any such output is being written, every catchable signal
 *   that ends a process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM,
 *   SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF) and is still at its
 *   default disposition removes the temporary files and then ends the
 *   process as it would have; SIGXFSZ at its default is ignored, so a
 *   file-size limit fails the write ("File too large"). Signals the program
 *   ignores or handles itself are left alone, and the dispositions found
 *   are put back after the last output. This holds for any number of
 *   outputs written at once on any threads.
 */
#ifndef SONX_SONX_C_H
#define SONX_SONX_C_H

#include <stddef.h>
#include <stdint.h>
#ifdef _WIN32
#include <wchar.h>
#endif

#if defined(_WIN32) && defined(SONX_EXPORTS)
#define SONX_C_API __declspec(dllexport)
#elif defined(__GNUC__) && !defined(_WIN32)
#define SONX_C_API __attribute__((visibility("default")))
#else
#define SONX_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header; sonx_version_string tells the library's. */
#define SONX_VERSION_MAJOR 3
#define SONX_VERSION_MINOR 5
#define SONX_VERSION_PATCH 0
#define SONX_VERSION_TEXT_(major, minor, patch) #major "." #minor "." #patch
#define SONX_VERSION_TEXT(major, minor, patch) SONX_VERSION_TEXT_(major, minor, patch)
/* "3.5.0": the three numbers above as text. */
#define SONX_VERSION_STRING SONX_VERSION_TEXT(SONX_VERSION_MAJOR, SONX_VERSION_MINOR, SONX_VERSION_PATCH)

/* Status codes: the same numbers ISonxError::errorCode gives in C++. */
typedef enum sonx_status {
    SONX_OK = 0,
    SONX_ERR_INVALID = 1,     /* a null, contradictory or out-of-range argument */
    SONX_ERR_OPEN = 2,        /* a file cannot be opened or created */
    SONX_ERR_READ = 3,        /* reading a file failed, or it ended early */
    SONX_ERR_WRITE = 4,       /* writing a file failed */
    SONX_ERR_NOT_AUDIO = 5,   /* neither a QCP nor a WAV file */
    SONX_ERR_UNSUPPORTED = 6, /* a format or codec the library cannot convert */
    SONX_ERR_DAMAGED = 7,     /* the file's structure or lengths are damaged */
    SONX_ERR_NO_CHUNK = 8,    /* the asked chunk is not in the file */
    SONX_ERR_NO_MEMORY = 9,
    SONX_ERR_CANCELLED = 10,  /* the caller stopped the conversion */
    SONX_ERR_TOO_LARGE = 11,  /* the result would exceed what the format holds */
    SONX_ERR_FAILED = 12      /* any other failure */
} sonx_status;

/* The static English text of a status ("Cancelled", ...); an unknown value
 * gives "Unknown status". Never null; thread-safe. */
SONX_C_API const char *sonx_strerror(int status);

/* "MAJOR.MINOR.PATCH" of the library loaded; static text. */
SONX_C_API const char *sonx_version_string(void);

/* The name of a codec identity as a QCP or WAV file stores it (16 bytes):
 * "QCELP-13K", "EVRC", "SMV", "EVRC-B (4GV)", "PCM", "G.711 mu-law"; null for
 * an identity the library does not know. Static text; thread-safe. */
SONX_C_API const char *sonx_codec_name(const unsigned char identity[16]);

/* File types, for sonx_options.output_type and sonx_info.kind. */
typedef enum sonx_file_type {
    SONX_TYPE_AUTO = 0, /* output: the other of the input's type */
    SONX_TYPE_QCP = 1,
    SONX_TYPE_WAV = 2
} sonx_file_type;

/* QCELP-13K rate sets of a QCP output: variable or fixed, full or half rate. */
typedef enum sonx_rate_set {
    SONX_RATE_VFR = 0,
    SONX_RATE_VHR = 1,
    SONX_RATE_FFR = 2,
    SONX_RATE_FHR = 3,
    SONX_RATE_NONE = -1 /* sonx_info: no QCELP-13K stream */
} sonx_rate_set;

/* The name of a rate set as velconv's -r takes it ("vfr", "vhr", "ffr",
 * "fhr"), null for another value. Static text; thread-safe. */
SONX_C_API const char *sonx_rate_set_name(int rate_set);

/* What a rate set is, in words ("variable rate, full rate max", ...), null
 * for another value. Static text; thread-safe. */
SONX_C_API const char *sonx_rate_set_words(int rate_set);

/* The sonx_rate_set of a name sonx_rate_set_name gives (exactly, in lower
 * case); SONX_RATE_NONE for any other text or null. */
SONX_C_API int sonx_rate_set_by_name(const char *name);

/* The 16-byte identity of a rate set, as a QCP file stores it. Errors:
 * SONX_ERR_INVALID for another value. */
SONX_C_API int sonx_rate_set_identity(int rate_set, unsigned char identity[16]);

/* The sonx_rate_set of a 16-byte identity; SONX_RATE_NONE for another. */
SONX_C_API int sonx_rate_set_of_identity(const unsigned char identity[16]);

/* Packet rates of a QCELP-13K stream, the order of
 * sonx_info.packets_by_rate. */
typedef enum sonx_packet_rate {
    SONX_PACKETS_FULL = 0,
    SONX_PACKETS_HALF = 1,
    SONX_PACKETS_QUARTER = 2,
    SONX_PACKETS_EIGHTH = 3,
    SONX_PACKETS_BLANK = 4,
    SONX_PACKETS_ERASURE = 5,
    SONX_PACKET_RATES = 6 /* how many there are */
} sonx_packet_rate;

/* "full", "half", "quarter", "eighth", "blank", "erasure" for a
 * sonx_packet_rate; null for another value. Static text; thread-safe. */
SONX_C_API const char *sonx_packet_rate_name(int rate);

/* What a file is, told from its first bytes. The numbers of SONX_KIND_QCP
 * and SONX_KIND_WAV are those of sonx_file_type. */
typedef enum sonx_file_kind {
    SONX_KIND_NOT_AUDIO = 0,  /* no RIFF file, or too short to be one */
    SONX_KIND_QCP = 1,        /* RIFF form 'QLCM' */
    SONX_KIND_WAV = 2,        /* RIFF form 'WAVE' */
    SONX_KIND_RF64 = 3,       /* an RF64 or BW64 'WAVE' file: a WAV with 64-bit lengths */
    SONX_KIND_OTHER_RIFF = 4  /* a RIFF file of another form ('AVI ', ...) */
} sonx_file_kind;

/* The first bytes that decide the kind; a QCP file's codec is read from
 * within the first SONX_KIND_PROBE_BYTES. */
#define SONX_KIND_HEADER_BYTES 12
#define SONX_KIND_PROBE_BYTES 512

typedef struct sonx_kind_info {
    int kind;                /* a sonx_file_kind */
    uint64_t size;           /* the file's length in bytes (the bytes given) */
    int codec_known;         /* a QCP file: its 'fmt ' chunk was found */
    unsigned char codec[16]; /* the codec identity it names (sonx_codec_name) */
} sonx_kind_info;

/* The kind of a file whose first `length` bytes are at `bytes` (give at
 * least SONX_KIND_PROBE_BYTES where the file has them, and the file's whole
 * length as `file_size`, or `length` when unknown). Errors: SONX_ERR_INVALID
 * for a null argument. Thread-safe; sets no last error. */
SONX_C_API int sonx_kind_of_memory(const void *bytes, size_t length, uint64_t file_size, sonx_kind_info *info);

/* The kind of the file at `path`. A file that is no audio is no failure:
 * its kind says so. Errors: SONX_ERR_OPEN, _READ, _TOO_LARGE (past 4 GiB). */
SONX_C_API int sonx_kind_of_file(const char *path, sonx_kind_info *info);

/* How to convert. All zero is the default: output of the other type, VFR,
 * damaged inputs refused, the output dated now. */
typedef struct sonx_options {
    int output_type; /* a sonx_file_type */
    int rate_set;    /* a sonx_rate_set, for a QCP output */
    int salvage;     /* nonzero: read a damaged input for what it still holds */
    int keep_date;   /* nonzero: the output takes the input's access and modification times */
    uint32_t sample_rate; /* sonx_convert_file's WAV output: 8000 (0) to 48000 Hz; a QCP is 8000 */
} sonx_options;

/* What a conversion found of its input's lengths. */
typedef struct sonx_report {
    int length_damaged;       /* the RIFF size or 'data' length was damaged */
    int salvaged;             /* the input was read in spite of it */
    int promise_known;        /* blocks_promised holds the header's count */
    uint64_t blocks_read;     /* input blocks found: packets (QCP) or samples (WAV) */
    uint64_t blocks_promised; /* input blocks the header promises */
} sonx_report;

/* Called with the percentage done after every stretch of about two seconds
 * of audio, on the thread that runs the conversion (not the caller's). A
 * non-zero return stops the conversion: the call then fails with
 * SONX_ERR_CANCELLED, and a file the output would have replaced is left as
 * it was (no new file is left behind). */
typedef int (*sonx_progress_fn)(unsigned percent, void *user);

/* Converts the file at `input` into a new file at `output` (replaced if it
 * exists, once the conversion is complete: see the conventions): QCP to
 * 16-bit mono WAV at options->sample_rate (8000 Hz unless set), WAV (8- to
 * 32-bit integer PCM, float, A-law or mu-law, any rate, up to 8 channels
 * mixed down; RF64 and BW64 too) to QCP, with the input's label and comment
 * (sonx_copy_tags); the same bytes velconv writes.
 * `options` may be null (defaults); `progress` may be null; `user` is passed
 * back unchanged. `report` (may be null) is filled on success and failure.
 * Blocks until the conversion has ended. Errors: SONX_ERR_OPEN, _READ,
 * _WRITE, _NOT_AUDIO, _UNSUPPORTED, _DAMAGED, _CANCELLED, _NO_MEMORY, and
 * SONX_ERR_INVALID for an output that is the input. */
SONX_C_API int sonx_convert_file(const char *input, const char *output, const sonx_options *options,
                                 sonx_progress_fn progress, void *user, sonx_report *report);

/* Decodes the QCP file held in the `qcp_bytes` bytes at `qcp` to 16-bit
 * mono samples at 8000 Hz. On success *pcm points to *samples samples that
 * the caller gives back with sonx_free (null when there are none). With
 * `salvage` non-zero a damaged file gives what it holds. `report` may be
 * null. On failure *pcm is null and *samples 0. */
SONX_C_API int sonx_decode(const void *qcp, size_t qcp_bytes, int salvage, int16_t **pcm, size_t *samples,
                           sonx_report *report);

/* sonx_decode to samples at `sample_rate` (8000 to 48000 Hz; another rate
 * fails with SONX_ERR_INVALID): the 8000 Hz decode resampled, at the rate's
 * length. */
SONX_C_API int sonx_decode_rate(const void *qcp, size_t qcp_bytes, int salvage, uint32_t sample_rate,
                                int16_t **pcm, size_t *samples, sonx_report *report);

/* Encodes `samples` 16-bit mono samples at `sample_rate` (1 to 384000 Hz,
 * else SONX_ERR_INVALID; resampled to 8000) into a QCP file in the given
 * rate set. On success
 * *qcp points to *qcp_bytes bytes that the caller gives back with
 * sonx_free. On failure *qcp is null and *qcp_bytes 0. */
SONX_C_API int sonx_encode(const int16_t *pcm, size_t samples, uint32_t sample_rate, int rate_set, void **qcp,
                           size_t *qcp_bytes);

/* Gives back memory from sonx_decode or sonx_encode; null is ignored. */
SONX_C_API void sonx_free(void *memory);

/* An open file read or written sample by sample. */
typedef struct sonx_file sonx_file;

/* Opens a QCP or WAV file to read as 16-bit mono samples at the file's own
 * rate (sonx_file_sample_rate). *file receives the handle, closed with
 * sonx_close; null on failure. A damaged length without `salvage` gives
 * SONX_ERR_DAMAGED, as sonx_convert_file does. */
SONX_C_API int sonx_open_read(const char *path, int salvage, sonx_file **file);

/* Starts a file to write 16-bit mono samples at `sample_rate` (1 to 384000
 * Hz, else SONX_ERR_INVALID) into, which takes its name at sonx_close (see
 * the conventions): QCP (resampled to 8000 Hz, options->rate_set) or, for
 * options->output_type SONX_TYPE_WAV, a 16-bit WAV at that rate. `options`
 * may be null: QCP, VFR. *file receives the handle; null on failure. */
SONX_C_API int sonx_open_write(const char *path, const sonx_options *options, uint32_t sample_rate,
                               sonx_file **file);

/* The sample rate of the samples the handle reads or takes; 0 for null. */
SONX_C_API uint32_t sonx_file_sample_rate(const sonx_file *file);

/* Reads up to `max_samples` samples into `pcm`; *got receives how many
 * (0 at the end of the file). Any buffer of at least one sample will do: a
 * QCP file is read in packets of 160 samples, and what a smaller buffer
 * leaves of one comes with the next calls. Before its end a file may
 * deliver fewer than asked: call again. */
SONX_C_API int sonx_read_pcm(sonx_file *file, int16_t *pcm, size_t max_samples, size_t *got);

/* Writes `samples` samples. Samples short of a whole packet wait for the
 * next write or sonx_close. */
SONX_C_API int sonx_write_pcm(sonx_file *file, const int16_t *pcm, size_t samples);

/* Completes and closes the file (a written QCP file's last packet is padded
 * with silence) and frees the handle, whatever the outcome; null is
 * ignored and returns SONX_OK. */
SONX_C_API int sonx_close(sonx_file *file);

/* The optional chunks of a QCP file: "labl" (48 bytes), "text" (any bytes)
 * or "cnfg" (2 bytes, little-endian). sonx_get_chunk copies at most `length`
 * bytes into `buffer` (null with length 0 only asks) and sets *stored to the
 * chunk's full length. sonx_set_chunk replaces or adds the chunk in place.
 * Errors: SONX_ERR_NO_CHUNK, SONX_ERR_NOT_AUDIO (not a QCP file),
 * SONX_ERR_INVALID (an unknown id). Do not use on a file open for writing. */
SONX_C_API int sonx_get_chunk(const char *path, const char *id, void *buffer, size_t length, size_t *stored);
SONX_C_API int sonx_set_chunk(const char *path, const char *id, const void *data, size_t length);

/* Copies the label and comment of the QCP or WAV file at `from` (QCP
 * 'labl' and 'text', WAV LIST/INFO INAM and ICMT) into the finished QCP or
 * WAV file at `to`, in the form `to` keeps them: a label longer than a QCP
 * 'labl' chunk's 48 bytes is cut at a character boundary. Tags `from` does
 * not have, or that cannot be read, are not copied (SONX_OK). Errors of
 * `to`: SONX_ERR_OPEN, _READ, _WRITE, _DAMAGED, _UNSUPPORTED (no QCP or
 * WAV file). */
SONX_C_API int sonx_copy_tags(const char *from, const char *to);

/* What a file holds, found without converting it: what `velconv -i` says. */
typedef struct sonx_info {
    int kind;                /* SONX_TYPE_QCP or SONX_TYPE_WAV */
    char codec[40];          /* "QCELP-13K", "PCM", "EVRC", ...; the identity {...} when unknown */
    int decodable;           /* this library can convert the file */
    uint32_t sample_rate;
    uint32_t sample_bits;
    uint32_t channels;       /* WAV */
    uint64_t samples;        /* present, per channel */
    uint64_t samples_promised;
    int promise_known;       /* the header states a length */
    double duration;         /* seconds present */
    int rate_set;            /* a sonx_rate_set; SONX_RATE_NONE for no QCELP-13K stream */
    uint32_t packets_by_rate[6]; /* by sonx_packet_rate (sonx_packet_rate_name) */
    uint32_t packets;
    uint32_t packets_promised;
    uint32_t stray_bytes;    /* bytes that are no rate octet */
    uint32_t average_bit_rate;
    int cut_short;           /* damaged: the data runs short of what the header says */
    char label[256];         /* QCP 'labl' / WAV INAM, NUL-terminated, cut to fit */
    char text[1024];         /* QCP 'text' / WAV ICMT, likewise */
} sonx_info;

/* Describes the file at `path`, or the `length` bytes at `data`. */
SONX_C_API int sonx_get_info(const char *path, sonx_info *info);
SONX_C_API int sonx_get_info_memory(const void *data, size_t length, sonx_info *info);

/* Copies the message of the last failure on `file` (null: of the calling
 * thread's last handle-less call) into `buffer`, cut to `length` bytes with
 * a NUL, and returns its status (SONX_OK and "" when nothing failed). */
SONX_C_API int sonx_last_error(const sonx_file *file, char *buffer, size_t length);

/* ---- Outputs and spools for programs that write files themselves ----
 *
 * The safe output the conventions describe, for a caller that writes the
 * output through the C++ interface (sonx.h's ISonxConvertFile and
 * ISonxFile take the handle below), and the spool that holds an input that
 * can be read only once (standard input, a pipe). Failures are kept as the
 * calling thread's last error (sonx_last_error(NULL, ...)); one of a system
 * call also carries the system's error number (sonx_last_system_error). */

/* How the library's writers and readers reach a file: by `name` when it is
 * not null, else through `serve` with `client_data` (sonx.h: a
 * FILE_HANDLE_CLIENT FileHandle and its ClientFileOp operations). */
typedef int32_t (*sonx_serve_fn)(int32_t operation, uint8_t *buffer, int32_t position, int32_t length,
                                 uintptr_t client_data);
typedef struct sonx_file_handle {
    const char *name;
    sonx_serve_fn serve;
    uintptr_t client_data;
} sonx_file_handle;

/* One output in the making: begun on its final name, written through its
 * handle, then either committed (it takes its name) or discarded (the old
 * file stays as it was, nothing new is left). Every begun output ends with
 * exactly one of sonx_output_commit or sonx_output_discard, which free it;
 * it may do so on another thread than the one that began it. */
typedef struct sonx_output sonx_output;

typedef struct sonx_output_request {
    /* The named file the output is made from, or null. An output that is
     * this file under another name (a link, ./name) is refused with
     * SONX_ERR_INVALID: replacing it would destroy the input. */
    const char *input;
    /* Nonzero: the output takes the input's access and modification times
     * before it takes its name. */
    int keep_input_times;
} sonx_output_request;

/* Begins the output that is to take the name `path`; `request` may be null
 * (no input). *output receives the handle, null on failure. Errors:
 * SONX_ERR_OPEN (with the system's error number), SONX_ERR_INVALID. */
SONX_C_API int sonx_output_begin(const char *path, const sonx_output_request *request, sonx_output **output);

/* Begins an output to standard output (descriptor 1), written in one pass
 * at commit. Errors: SONX_ERR_OPEN (no temporary file could be made). */
SONX_C_API int sonx_output_begin_standard(sonx_output **output);

/* What writers write the output into; valid until commit or discard. Give
 * it to one writer at a time; a writer opening it empties it first. */
SONX_C_API int sonx_output_handle(const sonx_output *output, sonx_file_handle *handle);

/* The file the output ends up in (the file a symbolic link points to; ""
 * for standard output). Valid until commit or discard. */
SONX_C_API const char *sonx_output_name(const sonx_output *output);

/* After a writer failed: SONX_ERR_WRITE with the system's reason when
 * writing the temporary spool behind the output failed (the writer only
 * knows that a write came up short), else SONX_OK. */
SONX_C_API int sonx_output_write_failure(const sonx_output *output);

/* Puts the complete output in place and frees the handle, whatever the
 * outcome. *unsynced_error (may be null) receives 0, or the system's error
 * number of a folder sync that failed after the output took its name (it
 * is in place, but may not survive a power cut). Errors: SONX_ERR_WRITE,
 * SONX_ERR_TOO_LARGE (a file rewritten in place whose old bytes are more
 * than a spool takes); the old file is then as it was. */
SONX_C_API int sonx_output_commit(sonx_output *output, int *unsynced_error);

/* Frees the handle without putting the output in place; null is ignored. */
SONX_C_API void sonx_output_discard(sonx_output *output);

/* What sonx_output_commit_group tells of one output: what
 * sonx_output_commit would have returned for it and put in *unsynced_error,
 * and its failure as sonx_last_error and sonx_last_system_error would have
 * told it (texts cut to fit, with a NUL). */
typedef struct sonx_output_outcome {
    int status;
    int unsynced_error;
    int system_error;   /* the system's error number of a failed call, else 0 */
    char message[1024]; /* "" when the output took its name */
    char folder[1024];  /* where it failed, when not in the file's own folder */
} sonx_output_outcome;

/* Puts `count` complete outputs in place together and frees every handle,
 * whatever the outcomes; outcomes[i] tells of outputs[i]. Each output keeps
 * the promise of sonx_output_commit (none takes its name before its data is
 * on disk; one that fails leaves its old file as it was, and the others go
 * on), but they share the syncs: the data of all that share a file system
 * goes to disk in one flush where the system allows it, then they take
 * their names in order, then each folder is synced once. An output that
 * cannot share them (a file rewritten in place, standard output, a device)
 * is committed on its own. A null entry is an output that fails with
 * SONX_ERR_INVALID. Returns SONX_OK when every output took its name, else
 * the status of the first that did not (also the calling thread's last
 * error); SONX_ERR_INVALID, with nothing freed, when `outputs` or `outcomes`
 * is null and `count` is not 0. */
SONX_C_API int sonx_output_commit_group(sonx_output *const *outputs, size_t count, sonx_output_outcome *outcomes);

/* An unlinked temporary file in $TMPDIR (else the system's temporary
 * folder): nothing of it outlives the process, however the process ends.
 * It holds at most 2 GiB, as a client handle's positions are 32-bit. */
typedef struct sonx_spool sonx_spool;

/* *spool receives a new empty spool, null on failure. Errors: SONX_ERR_OPEN. */
SONX_C_API int sonx_spool_new(sonx_spool **spool);

/* Frees the spool; null is ignored. */
SONX_C_API void sonx_spool_free(sonx_spool *spool);

/* Appends everything `descriptor` delivers until its end (the descriptor
 * stays open). `what` names the source in a failure ("standard input").
 * Errors: SONX_ERR_READ, SONX_ERR_WRITE, SONX_ERR_TOO_LARGE (past 2 GiB). */
SONX_C_API int sonx_spool_fill(sonx_spool *spool, int descriptor, const char *what);

/* *size receives the spool's length in bytes. Errors: SONX_ERR_READ. */
SONX_C_API int sonx_spool_size(const sonx_spool *spool, uint64_t *size);

/* Reads up to `length` bytes at `offset` into `buffer`; *got receives how
 * many (fewer at the end). Errors: SONX_ERR_READ. */
SONX_C_API int sonx_spool_read_at(const sonx_spool *spool, uint64_t offset, void *buffer, size_t length,
                                  size_t *got);

/* Writes `length` bytes at `offset`. Errors: SONX_ERR_WRITE. */
SONX_C_API int sonx_spool_write_at(sonx_spool *spool, uint64_t offset, const void *data, size_t length);

/* What readers read the spool through, from its start; valid while the
 * spool lives. */
SONX_C_API int sonx_spool_handle(sonx_spool *spool, sonx_file_handle *handle);

/* Opens the named file (UTF-8 on every system) for reading as a descriptor
 * of the library's C runtime, for sonx_spool_fill; close it with
 * sonx_close_descriptor. Other programs may read, write and remove the file
 * meanwhile. *descriptor receives it, -1 on failure. Errors: SONX_ERR_OPEN. */
SONX_C_API int sonx_open_descriptor(const char *path, int *descriptor);
SONX_C_API int sonx_close_descriptor(int descriptor);

/* The system's side of the calling thread's last failure: *error_number
 * (may be null) receives the system's error number (errno; 0 when no
 * system call failed), and `folder` (cut to `length` bytes with a NUL; null
 * and 0 leave it out) the folder it happened in when that is not the file's
 * own (the temporary folder behind a spool), else "". Returns the failure's
 * status, as sonx_last_error(NULL, ...) does. */
SONX_C_API int sonx_last_system_error(int *error_number, char *folder, size_t length);

/* The system's text for an error number, as strerror gives it, except that
 * on Windows a file another program holds open reads "in use by another
 * program". Static text; thread-safe. */
SONX_C_API const char *sonx_system_error_text(int error_number);

#ifdef _WIN32
/* Windows names. Each writes at most `capacity` units with a NUL into the
 * buffer and returns the length of the whole result without the NUL, so a
 * caller can ask again with room enough. */

/* UTF-16 text (wmain's arguments) as UTF-8. */
SONX_C_API size_t sonx_utf8_from_wide(const wchar_t *text, char *utf8, size_t capacity);

/* A UTF-8 file name as the system's wide calls take it: absolute, and in the
 * \\?\ form past the old 260-character limit. */
SONX_C_API size_t sonx_system_name(const char *name, wchar_t *wide, size_t capacity);

/* Nonzero when the name's last part is one Windows keeps for a device in
 * every folder: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or without
 * an extension. */
SONX_C_API int sonx_is_reserved_name(const char *name);
#endif /* _WIN32 */

#ifdef __cplusplus
}
#endif

#endif /* SONX_SONX_C_H */
