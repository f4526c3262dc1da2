// A folder of many short memos through velconv, against the coder alone on
// the same audio: files per second, and the share of the time spent outside
// the coder, with what that time goes to.
//
// The memos are cut from the test speech (as WAV, and encoded to QCP by
// velconv). Each round, alternating so that the machine's load falls on all
// alike: velconv -q -j 1 -d over the folder (both ways), the codec alone
// over every memo in memory (a codec made per memo, as velconv makes one),
// velconv at its default job count, and the parts of the per-file work:
// a process start (velconv -v), reading every memo's header and packets
// (velconv -i), and making one output safely (temporary file, write, fsync,
// rename, folder sync) one at a time, with and without the two syncs, and
// in groups that share their syncs, as velconv's batch does.
// Medians of the rounds are reported; the coder alone runs on as many
// threads as velconv's jobs.
//
// Usage: many_memos --velconv PATH [--memos N] [--seconds S] [--rounds R] [--dir DIR]
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sonx/fileio/endian.h"
#include "sonx/sonx.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// The body of a RIFF file's 'data' chunk.
Bytes riffData(const Bytes& file) {
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t length = sonx::getLe32(&file[at + 4]);
        if (std::memcmp(&file[at], "data", 4) == 0)
            return Bytes(file.begin() + long(at + 8),
                         file.begin() + long(at + 8 + std::min<size_t>(length, file.size() - at - 8)));
        at += 8 + size_t(length) + (length & 1);
    }
    throw std::runtime_error("no 'data' chunk");
}

Bytes wavOf(const Bytes& samples) {
    static const uint8_t kHeader[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't',
                                        ' ', 16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E,
                                        0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    Bytes wav(sizeof kHeader + samples.size());
    std::copy(std::begin(kHeader), std::end(kHeader), wav.begin());
    std::copy(samples.begin(), samples.end(), wav.begin() + sizeof kHeader);
    sonx::putLe32(&wav[4], static_cast<uint32_t>(36 + samples.size()));
    sonx::putLe32(&wav[40], static_cast<uint32_t>(samples.size()));
    return wav;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// This process's CPU time so far, every thread's, user and system.
double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

// Wall time and CPU time (user and system, all threads) of one run. On a
// loaded machine the CPU time is the steadier of the two.
struct Timing {
    double wall = 0;
    double cpu = 0;
};

// Runs velconv with `args` (output thrown away) and returns its times.
Timing timeVelconv(const std::string& velconv, const std::vector<std::string>& args) {
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<std::string> copy = args;
        std::vector<char*> argv = {const_cast<char*>(velconv.c_str())};
        for (std::string& arg : copy) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(velconv.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("velconv failed");
    return {secondsSince(start), cpuSeconds(usage)};
}

// The codec alone over every memo, samples to packets or packets to
// samples, on `threads` threads that each take the next memo.
Timing timeCoder(const std::vector<Bytes>& inputs, bool encode, std::size_t threads) {
    std::size_t longest = 0;
    for (const Bytes& input : inputs) longest = std::max(longest, input.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        // At most 35 bytes a packet of 160 samples; at least 1 byte a packet.
        Bytes out(encode ? longest / 320 * 35 + 64 : longest * 320);
        for (std::size_t n; (n = next.fetch_add(1)) < inputs.size();) {
            const Bytes& input = inputs[n];
            auto* codec = sonx::createInstance<sonx::ISonxPacketCodec>(sonx::CODEC_QCELP13K);
            if (!codec || !codec->SetRateSet(sonx::RATE_SET_VFR, 0)) std::abort();
            uint32_t used = 0;
            if (encode) {
                codec->Process(out.data(), input.data(), static_cast<uint32_t>(input.size() / 2), 1, &used);
            } else {
                uint32_t rest = 0;
                const uint32_t packets =
                    codec->CountPackets(input.data(), static_cast<uint32_t>(input.size()), &rest, 0);
                codec->Process(out.data(), input.data(), packets, 0, &used);
            }
            codec->Release();
        }
    };
    const auto start = Clock::now();
    const double cpuBefore = ownCpuSeconds();
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (std::thread& thread : pool) thread.join();
    return {secondsSince(start), ownCpuSeconds() - cpuBefore};
}

// What velconv takes as its default job count: the cores this process may run on.
std::size_t coresAvailable() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<std::size_t>(CPU_COUNT(&allowed));
    return std::max(1u, std::thread::hardware_concurrency());
}

enum class Syncs { Both, None };

// One output made as velconv makes it, for each memo: a temporary file
// beside the output, written, synced, renamed, and its folder synced.
double timeSafeOutputs(const std::string& folder, std::size_t count, std::size_t bytes, Syncs syncs) {
    fs::create_directories(folder);
    const Bytes content(bytes, 0x55);
    const auto start = Clock::now();
    for (std::size_t n = 0; n < count; ++n) {
        const std::string name = folder + "/memo" + std::to_string(n) + ".wav";
        const std::string temporary = name + ".velconv-abcdef";
        const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size()))
            throw std::runtime_error("cannot write " + temporary);
        if (syncs == Syncs::Both) fsync(fd);
        close(fd);
        if (rename(temporary.c_str(), name.c_str()) != 0) throw std::runtime_error("cannot rename " + temporary);
        if (syncs == Syncs::Both) {
            const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            fsync(dir);
            close(dir);
        }
    }
    return secondsSince(start);
}

// One output for each memo made as velconv's batch makes them: begun with
// the library, written, and put in place in groups of up to 64 that share
// their syncs (one flush of the file system, one sync of the folder).
double timeGroupCommits(const std::string& folder, std::size_t count, std::size_t bytes) {
    constexpr std::size_t kGroup = 64;
    fs::create_directories(folder);
    const Bytes content(bytes, 0x55);
    const auto start = Clock::now();
    for (std::size_t first = 0; first < count; first += kGroup) {
        std::vector<sonx::SafeOutputFile> outputs(std::min(kGroup, count - first));
        std::vector<sonx::SafeOutputFile*> group;
        for (std::size_t k = 0; k < outputs.size(); ++k) {
            const std::string name = folder + "/memo" + std::to_string(first + k) + ".wav";
            sonx::SystemFailure failure;
            if (outputs[k].begin(name.c_str(), sonx::OutputRequest{}, failure) != SONX_OK)
                throw std::runtime_error("cannot begin " + name + ": " + failure.message);
            const sonx::FileHandle handle = outputs[k].handle();
            const int fd = open(handle.fileName, O_WRONLY | O_CLOEXEC);
            if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size()))
                throw std::runtime_error("cannot write " + name);
            close(fd);
            group.push_back(&outputs[k]);
        }
        for (const sonx::CommitOutcome& outcome : sonx::commitTogether(group))
            if (outcome.status != SONX_OK) throw std::runtime_error("commit failed: " + outcome.failure.message);
    }
    return secondsSince(start);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string velconv, dir;
    std::size_t memos = 1000;
    double seconds = 3;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--velconv") velconv = argv[i + 1];
        else if (option == "--memos") memos = std::strtoul(argv[i + 1], nullptr, 10);
        else if (option == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (option == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--dir") dir = argv[i + 1];
        else velconv.clear();
    }
    if (velconv.empty() || argc % 2 == 0 || memos == 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: many_memos --velconv PATH [--memos N] [--seconds S] [--rounds R] [--dir DIR]\n");
        return 2;
    }
    try {
        if (dir.empty()) {
            char pattern[] = "/tmp/sonx-many-memos-XXXXXX";
            if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
            dir = pattern;
        }
        // Each memo starts elsewhere in the speech, wrapping round at its end.
        const Bytes speech = riffData(readFile(std::string(SONX_TESTDATA_DIR) + "/speech_8k.wav"));
        const std::size_t memoBytes = static_cast<std::size_t>(seconds * 8000) * 2;
        fs::remove_all(dir + "/wav");
        fs::create_directories(dir + "/wav");
        std::vector<std::string> wavNames, qcpNames;
        std::vector<Bytes> samples, packets;
        for (std::size_t n = 0; n < memos; ++n) {
            Bytes memo(memoBytes);
            for (std::size_t k = 0, from = (n * 5938) % (speech.size() / 2) * 2; k < memoBytes; ++k)
                memo[k] = speech[(from + k) % speech.size()];
            char name[32];
            std::snprintf(name, sizeof name, "memo%05zu", n);
            wavNames.push_back(dir + "/wav/" + name + ".wav");
            qcpNames.push_back(dir + "/qcp/" + name + ".qcp");
            writeFile(wavNames.back(), wavOf(memo));
            samples.push_back(std::move(memo));
        }
        fs::remove_all(dir + "/qcp");
        std::vector<std::string> encodeArgs = {"-q", "-d", dir + "/qcp"};
        encodeArgs.insert(encodeArgs.end(), wavNames.begin(), wavNames.end());
        timeVelconv(velconv, encodeArgs);
        for (const std::string& name : qcpNames) packets.push_back(riffData(readFile(name)));
        std::vector<std::string> infoArgs = {"-i"};
        infoArgs.insert(infoArgs.end(), qcpNames.begin(), qcpNames.end());

        // Every run writes into a folder of its own, and all are removed at
        // the end: a file system that has just freed many inodes (ext4
        // without a journal) searches past them for each new file, which no
        // ordinary run into a folder meets.
        int runs = 0;
        const auto freshFolder = [&] { return dir + "/out" + std::to_string(++runs); };
        const auto batch = [&](const std::vector<std::string>& inputs, const char* jobs) {
            std::vector<std::string> args = {"-q", "-d", freshFolder()};
            if (*jobs) args.insert(args.begin(), {"-j", jobs});
            args.insert(args.end(), inputs.begin(), inputs.end());
            return timeVelconv(velconv, args);
        };
        const std::size_t cores = coresAvailable();
        std::vector<Timing> decodeRun, encodeRun, decodeCoder, encodeCoder, decodeAll, encodeAll, decodeCoderAll,
            encodeCoderAll;
        std::vector<double> start, info, outputs, outputsUnsynced, groupOutputs;
        for (int round = 0; round < rounds; ++round) {
            decodeRun.push_back(batch(qcpNames, "1"));
            decodeCoder.push_back(timeCoder(packets, false, 1));
            encodeRun.push_back(batch(wavNames, "1"));
            encodeCoder.push_back(timeCoder(samples, true, 1));
            decodeAll.push_back(batch(qcpNames, ""));
            decodeCoderAll.push_back(timeCoder(packets, false, cores));
            encodeAll.push_back(batch(wavNames, ""));
            encodeCoderAll.push_back(timeCoder(samples, true, cores));
            start.push_back(timeVelconv(velconv, {"-v"}).wall);
            info.push_back(timeVelconv(velconv, infoArgs).wall);
            outputs.push_back(timeSafeOutputs(freshFolder(), memos, 44 + memoBytes, Syncs::Both));
            outputsUnsynced.push_back(timeSafeOutputs(freshFolder(), memos, 44 + memoBytes, Syncs::None));
            groupOutputs.push_back(timeGroupCommits(freshFolder(), memos, 44 + memoBytes));
        }
        for (int run = 1; run <= runs; ++run) fs::remove_all(dir + "/out" + std::to_string(run));

        const double perFile = 1000.0 / double(memos);  // ms per file from seconds per folder
        std::printf("%zu memos of %.1f s, %zu cores; medians of %d rounds\n", memos, seconds, cores, rounds);
        const auto wall = [](const std::vector<Timing>& runs) {
            std::vector<double> times;
            for (const Timing& run : runs) times.push_back(run.wall);
            return median(times);
        };
        const auto cpu = [](const std::vector<Timing>& runs) {
            std::vector<double> times;
            for (const Timing& run : runs) times.push_back(run.cpu);
            return median(times);
        };
        const auto line = [&](const char* what, const char* jobs, const std::vector<Timing>& runs,
                              const std::vector<Timing>& coders) {
            const double run = wall(runs), coder = wall(coders), runCpu = cpu(runs), coderCpu = cpu(coders);
            std::printf("%s -j %s: %6.0f files/s (%.2f ms a file), coder alone %.2f ms a file: %2.0f%% outside the "
                        "coder; CPU %.2f ms a file, coder alone %.2f: %2.0f%% outside\n",
                        what, jobs, double(memos) / run, run * perFile, coder * perFile, 100.0 * (run - coder) / run,
                        runCpu * perFile, coderCpu * perFile, 100.0 * (runCpu - coderCpu) / runCpu);
        };
        const std::string all = std::to_string(cores);
        line("decode", "1", decodeRun, decodeCoder);
        line("decode", all.c_str(), decodeAll, decodeCoderAll);
        line("encode", "1", encodeRun, encodeCoder);
        line("encode", all.c_str(), encodeAll, encodeCoderAll);
        std::printf("parts: process start %.2f ms a run; reading a memo's header and packets (-i) %.3f; "
                    "a safe output %.3f, of which the file and folder syncs %.3f; "
                    "a safe output committed in groups of 64 as the batch does %.3f\n",
                    median(start) * 1000, (median(info) - median(start)) * perFile, median(outputs) * perFile,
                    (median(outputs) - median(outputsUnsynced)) * perFile, median(groupOutputs) * perFile);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "many_memos: %s\n", e.what());
        return 1;
    }
}
