// Cipher speed: the pure rotor machine (fast and literal), the string operations with
// the key-file work each call does, and key-file generation. Prints the fast/literal
// ratio at the end of the run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cipher/key_state.h"
#include "cipher/literal_machine.h"
#include "cipher/sdk.h"
#include "cipher/wide_machine.h"
#include "support/tempdir.h"

namespace {

using keyvane::SDK;
using keyvane::test::KeyState;
using keyvane::test::LiteralMachine;
using keyvane::test::RandomText;
using keyvane::test::TempDir;

// A 48-digit seed, the longest two IPv4 addresses give.
const std::string kSeed =
    "654789321987123456789123"
    "789789456123123456456123";

// Key files as a live connection has them, and the literal machine in the same state.
struct Keys {
    TempDir dir;
    SDK sdk;
    LiteralMachine literal;

    Keys() {
        sdk.AppFolder = dir.path();
        sdk.BuildKeyFiles(kSeed);
        sdk.LoadCipherTables();
        std::string none;
        sdk.EncryptString(none);  // loads pass count and rotors
        for (int k = 1; k <= SDK::kRotors; ++k) {
            literal.Rotor[k] = sdk.Rotor(k);
            literal.RotorUp[k] = sdk.RotorUp[k];
            literal.StepSize[k] = sdk.StepSize[k];
        }
        literal.PassCount = sdk.PassCount;
        std::copy(sdk.ReorderTable.begin(), sdk.ReorderTable.end(), literal.ReorderTable.begin());
        literal.ResetSchedule();
    }
};

// One set of key files for every benchmark. A key file is read again on every call
// until its stamp is a little old (as in the first tenth of a second of a transfer);
// the figures are for the steady state after that.
Keys& SharedKeys() {
    // Destroyed at exit, so its temporary folder goes too.
    static const std::unique_ptr<Keys> keys = [] {
        auto k = std::make_unique<Keys>();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return k;
    }();
    return *keys;
}

void Transform(benchmark::State& state, bool encipher) {
    Keys& keys = SharedKeys();
    std::mt19937 rng(1);
    std::string text = RandomText(rng, 64 * 1024);
    for (auto _ : state) {
        keys.sdk.RunMachine(text, encipher);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void LiteralTransform(benchmark::State& state, bool encipher) {
    Keys& keys = SharedKeys();
    std::mt19937 rng(1);
    std::string text = RandomText(rng, 2 * 1024);
    for (auto _ : state) {
        text = encipher ? keys.literal.Encrypt(text) : keys.literal.Decrypt(text);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void BM_FastEncipher(benchmark::State& state) {
    Transform(state, true);
}
void BM_FastDecipher(benchmark::State& state) {
    Transform(state, false);
}
// The machine of processors without 64-byte byte permutes.
void BM_NarrowEncipher(benchmark::State& state) {
    keyvane::AllowWideMachine(false);
    Transform(state, true);
    keyvane::AllowWideMachine(true);
}
void BM_LiteralEncipher(benchmark::State& state) {
    LiteralTransform(state, true);
}
void BM_LiteralDecipher(benchmark::State& state) {
    LiteralTransform(state, false);
}

void StringOperation(benchmark::State& state, bool encipher) {
    Keys& keys = SharedKeys();
    std::mt19937 rng(2);
    const std::string plain = RandomText(rng, SDK::kBlockLength);
    std::string cipher = plain;
    keys.sdk.EncryptString(cipher);
    for (auto _ : state) {
        keys.sdk.WorkText = encipher ? plain : cipher;
        if (encipher)
            keys.sdk.EncryptString(keys.sdk.WorkText);
        else
            keys.sdk.DecryptString(keys.sdk.WorkText);
        benchmark::DoNotOptimize(keys.sdk.WorkText.data());
    }
    state.SetItemsProcessed(state.iterations());  // blocks
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(SDK::kBlockLength));
}

// The two halves of a string operation on one block: the machine alone, and the
// key-file work alone (an empty text still loads and restores every key file).
void BM_RunMachine1000(benchmark::State& state) {
    Keys& keys = SharedKeys();
    std::mt19937 rng(2);
    std::string text = RandomText(rng, SDK::kBlockLength);
    for (auto _ : state) {
        keys.sdk.LoadCipherTables();
        keys.sdk.LoadRotors();
        keys.sdk.RunMachine(text, true);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(SDK::kBlockLength));
}

void BM_KeyFileWork(benchmark::State& state) {
    Keys& keys = SharedKeys();
    for (auto _ : state) {
        keys.sdk.WorkText.clear();
        keys.sdk.EncryptString(keys.sdk.WorkText);
        benchmark::DoNotOptimize(keys.sdk.WorkText.data());
    }
}

// What the transfer path calls: one block in its own buffer.
void BM_EncryptBlock1000(benchmark::State& state) {
    Keys& keys = SharedKeys();
    std::mt19937 rng(2);
    std::string block = RandomText(rng, SDK::kBlockLength);
    for (auto _ : state) {
        keys.sdk.EncryptBlock(block.data(), block.size());
        benchmark::DoNotOptimize(block.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(SDK::kBlockLength));
}

void BM_EncryptString1000(benchmark::State& state) {
    StringOperation(state, true);
}
void BM_DecryptString1000(benchmark::State& state) {
    StringOperation(state, false);
}

void BM_BuildKeyFiles48(benchmark::State& state) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    for (auto _ : state) sdk.BuildKeyFiles(kSeed);
    state.SetItemsProcessed(state.iterations());
}

// keyvane-cipher as a whole process on 16 MB: start-up, key-file generation from the
// seed, reading, the transform and writing.
std::string g_tool;  // the tool's path, beside the folder of this program

// The pure transform of `input` in this process, in wall-clock seconds.
double TransformSeconds(const std::string& input, bool encipher) {
    std::string text = input;
    const auto t0 = std::chrono::steady_clock::now();
    SharedKeys().sdk.RunMachine(text, encipher);
    benchmark::DoNotOptimize(text.data());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Starts `argv` with standard input from `in` and output to `out` (removed first, see
// below) and waits for it: wall-clock seconds, or a negative figure when it failed.
// `cpu` gains the process's own processor time.
double SpawnSeconds(const char* const* argv, const std::string& in, const std::string& out,
                    double* cpu = nullptr) {
    // The last run's output goes first: cutting 16 MB out of the page cache, as a
    // shell's ">" onto an old file does, costs this machine 11-15 ms, which is the
    // file system's and not the program's.
    std::filesystem::remove(out);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto t0 = std::chrono::steady_clock::now();
    // A spawn, not a fork: copying this process's 16 MB strings is no part of the program.
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, argv[0], &files, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) return -1;
    int status = 0;
    rusage used{};
    ::wait4(pid, &status, 0, &used);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (cpu)
        *cpu += static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string g_reference;  // cipher_reference, beside this program

void ToolProcess(benchmark::State& state, const char* command) {
    constexpr size_t kBytes = 16'000'000;
    TempDir dir;
    double cpuSeconds = 0;  // the tool's own, user and system
    std::mt19937 rng(3);
    const std::string input = RandomText(rng, kBytes);
    {
        keyvane::TextWriter w(dir.file("in.bin"));
        w.Write(input);
        w.Close();
    }
    const bool encipher = std::string(command) == "encrypt";
    // This machine's speed drifts within minutes, so each run is also set against the
    // transform of the same bytes taken right before and right after it.
    std::vector<double> shares;
    const std::string out = dir.file("out.bin");
    const char* const tool[] = {g_tool.c_str(), command, dir.path().c_str(), kSeed.c_str(),
                                nullptr};
    for (auto _ : state) {
        const double before = TransformSeconds(input, encipher);
        const double seconds = SpawnSeconds(tool, dir.file("in.bin"), out, &cpuSeconds);
        if (seconds < 0) {
            state.SkipWithError("tool failed");
            break;
        }
        state.SetIterationTime(seconds);
        shares.push_back((before + TransformSeconds(input, encipher)) / 2 / seconds);
    }
    std::sort(shares.begin(), shares.end());
    if (!shares.empty()) state.counters["share_of_transform"] = shares[shares.size() / 2];
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kBytes));
    // On a busy machine the process also waits for a processor; this rate leaves that out.
    state.counters["cpu_bytes_per_second"] =
        static_cast<double>(state.iterations()) * static_cast<double>(kBytes) / cpuSeconds;
}

void BM_ToolEncipher(benchmark::State& state) {
    ToolProcess(state, "encrypt");
}
void BM_ToolDecipher(benchmark::State& state) {
    ToolProcess(state, "decrypt");
}

// 16 MB of input in a folder of its own, for the whole-process figures.
struct ToolInput {
    static constexpr size_t kBytes = 16'000'000;
    TempDir dir;
    std::string input;
    ToolInput() {
        std::mt19937 rng(3);
        input = RandomText(rng, kBytes);
        keyvane::TextWriter w(dir.file("in.bin"));
        w.Write(input);
        w.Close();
    }
};

// keyvane-cipher against the yardstick: the same machine as a plain C program with the
// key files made beforehand, each pair of runs in the same moments (which goes first
// alternates), and the yardstick's portable form once. The outputs must be identical.
void ToolAgainstReference(benchmark::State& state, const char* command) {
    ToolInput in;
    TempDir keys;
    {
        SDK sdk;
        sdk.AppFolder = keys.path();
        sdk.BuildKeyFiles(kSeed);
        keyvane::TextWriter w(keys.file("schedule.txt"));
        for (int i = 1; i <= SDK::kReorderEntries; ++i)
            w.WriteLine(std::to_string(sdk.ReorderTable[i]));
        w.Close();
    }
    const std::string toolOut = in.dir.file("tool.bin"), refOut = in.dir.file("ref.bin");
    const char* const tool[] = {g_tool.c_str(), command, in.dir.path().c_str(), kSeed.c_str(),
                                nullptr};
    const char* const reference[] = {g_reference.c_str(), keys.path().c_str(), command, nullptr};
    const char* const portable[] = {g_reference.c_str(), keys.path().c_str(), command, "--portable",
                                    nullptr};
    std::vector<double> toolTimes, refTimes, ratios, toolCpu, refCpu;
    int i = 0;
    for (auto _ : state) {
        double t = 0, r = 0, tc = 0, rc = 0;
        if (i++ % 2 == 0) {
            t = SpawnSeconds(tool, in.dir.file("in.bin"), toolOut, &tc);
            r = SpawnSeconds(reference, in.dir.file("in.bin"), refOut, &rc);
        } else {
            r = SpawnSeconds(reference, in.dir.file("in.bin"), refOut, &rc);
            t = SpawnSeconds(tool, in.dir.file("in.bin"), toolOut, &tc);
        }
        toolCpu.push_back(tc);
        refCpu.push_back(rc);
        if (t < 0 || r < 0) {
            state.SkipWithError("a program failed");
            return;
        }
        state.SetIterationTime(t);
        toolTimes.push_back(t);
        refTimes.push_back(r);
        ratios.push_back(r / t);
    }
    if (keyvane::ReadWholeFile(toolOut) != keyvane::ReadWholeFile(refOut)) {
        state.SkipWithError("the tool's output differs from the yardstick's");
        return;
    }
    const double p = SpawnSeconds(portable, in.dir.file("in.bin"), refOut);
    if (p < 0 || keyvane::ReadWholeFile(toolOut) != keyvane::ReadWholeFile(refOut)) {
        state.SkipWithError("the portable yardstick failed or differs");
        return;
    }
    state.counters["tool_ms"] = Median(toolTimes) * 1e3;
    state.counters["reference_ms"] = Median(refTimes) * 1e3;
    state.counters["share_of_reference"] = Median(ratios);
    state.counters["portable_ms"] = p * 1e3;
    // On a busy machine a process also waits for a processor: its own time leaves that out.
    state.counters["tool_cpu_ms"] = Median(toolCpu) * 1e3;
    state.counters["reference_cpu_ms"] = Median(refCpu) * 1e3;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(ToolInput::kBytes));
}

void BM_ToolAgainstReferenceEncipher(benchmark::State& state) {
    ToolAgainstReference(state, "encrypt");
}
void BM_ToolAgainstReferenceDecipher(benchmark::State& state) {
    ToolAgainstReference(state, "decrypt");
}

// Where a whole run of the tool goes, each part taken alone as the tool does it:
// starting the process (its --help), generating the key files, reading 16 MB and
// writing it in the tool's 256 KB pieces, and transforming them. The tool reads and
// writes on a second thread while it transforms, so the parts add up to more than a run.
void BM_ToolSplit(benchmark::State& state) {
    ToolInput in;
    constexpr size_t kPiece = 256 * 1024;
    std::vector<double> startUp, keyFiles, reading, transforming, writing;
    const char* const help[] = {g_tool.c_str(), "--help", nullptr};
    std::string piece(kPiece, '\0');
    TempDir keys;  // one folder for every run, as the tool's runs have theirs
    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point t0) {
        return std::chrono::duration<double>(Clock::now() - t0).count();
    };
    for (auto _ : state) {
        startUp.push_back(SpawnSeconds(help, in.dir.file("in.bin"), in.dir.file("help.txt")));

        SDK sdk;  // a new one, as a new process has: nothing kept from the last build
        sdk.AppFolder = keys.path();
        auto t0 = Clock::now();
        sdk.BuildKeyFiles(kSeed);
        keyFiles.push_back(since(t0));

        const int fd = ::open(in.dir.file("in.bin").c_str(), O_RDONLY);
        t0 = Clock::now();
        while (::read(fd, piece.data(), kPiece) > 0) {
        }
        reading.push_back(since(t0));
        ::close(fd);

        std::string text = in.input;
        sdk.StartStringOperation();
        t0 = Clock::now();
        for (size_t at = 0; at < text.size(); at += kPiece)
            sdk.RunMachine(text.data() + at, std::min(kPiece, text.size() - at), true);
        transforming.push_back(since(t0));
        sdk.FinishStringOperation();

        const std::string out = in.dir.file("out.bin");
        std::filesystem::remove(out);
        const int wfd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        t0 = Clock::now();
        for (size_t at = 0; at < text.size(); at += kPiece)
            if (::write(wfd, text.data() + at, std::min(kPiece, text.size() - at)) < 0) break;
        ::close(wfd);
        writing.push_back(since(t0));
        state.SetIterationTime(startUp.back() + keyFiles.back() + reading.back() +
                               transforming.back() + writing.back());
    }
    state.counters["start_up_ms"] = Median(startUp) * 1e3;
    state.counters["key_files_ms"] = Median(keyFiles) * 1e3;
    state.counters["reading_ms"] = Median(reading) * 1e3;
    state.counters["transforming_ms"] = Median(transforming) * 1e3;
    state.counters["writing_ms"] = Median(writing) * 1e3;
}

BENCHMARK(BM_FastEncipher);
BENCHMARK(BM_FastDecipher);
BENCHMARK(BM_NarrowEncipher);
BENCHMARK(BM_LiteralEncipher);
BENCHMARK(BM_LiteralDecipher);
BENCHMARK(BM_RunMachine1000);
BENCHMARK(BM_KeyFileWork);
BENCHMARK(BM_EncryptBlock1000);
BENCHMARK(BM_EncryptString1000);
BENCHMARK(BM_DecryptString1000);
BENCHMARK(BM_BuildKeyFiles48)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolEncipher)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolDecipher)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolAgainstReferenceEncipher)
    ->UseManualTime()
    ->Iterations(7)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolAgainstReferenceDecipher)
    ->UseManualTime()
    ->Iterations(7)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolSplit)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// Console output as usual, plus the throughput of each run kept for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> bytesPerSecond, cpuBytesPerSecond, shareOfTransform;
    std::map<std::string, std::map<std::string, double>> counters;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            for (const auto& [name, c] : run.counters) counters[run.benchmark_name()][name] = c;
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) bytesPerSecond[run.benchmark_name()] = it->second;
            const auto cpu = run.counters.find("cpu_bytes_per_second");
            if (cpu != run.counters.end()) cpuBytesPerSecond[run.benchmark_name()] = cpu->second;
            const auto share = run.counters.find("share_of_transform");
            if (share != run.counters.end()) shareOfTransform[run.benchmark_name()] = share->second;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const auto here = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    g_tool = here.parent_path() / "keyvane-cipher";
    g_reference = here / "cipher_reference";
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& r = reporter.bytesPerSecond;
    for (const char* dir : {"Encipher", "Decipher"}) {
        const auto fast = r.find(std::string("BM_Fast") + dir);
        const auto literal = r.find(std::string("BM_Literal") + dir);
        if (fast == r.end() || literal == r.end() || literal->second <= 0) continue;
        std::printf("%s: fast %.1f MB/s, literal %.2f MB/s, ratio %.1fx (goal 30x)\n", dir,
                    fast->second / 1e6, literal->second / 1e6, fast->second / literal->second);
    }
    for (const char* dir : {"Encipher", "Decipher"}) {
        const auto fast = r.find(std::string("BM_Fast") + dir);
        const std::string name = std::string("BM_Tool") + dir + "/iterations:5/manual_time";
        const auto tool = r.find(name);
        const auto cpu = reporter.cpuBytesPerSecond.find(name);
        if (fast == r.end() || tool == r.end() || cpu == reporter.cpuBytesPerSecond.end() ||
            fast->second <= 0)
            continue;
        std::printf(
            "%s: keyvane-cipher on 16 MB as a whole process %.1f MB/s, %.0f%% of the "
            "transform alone (goal 80%%); by its processor time %.1f MB/s, %.0f%%\n",
            dir, tool->second / 1e6, 100 * tool->second / fast->second, cpu->second / 1e6,
            100 * cpu->second / fast->second);
        const auto share = reporter.shareOfTransform.find(name);
        if (share != reporter.shareOfTransform.end())
            std::printf(
                "%s: keyvane-cipher against the same 16 MB transformed in this process right "
                "before and after each run: %.0f%% (median of the runs)\n",
                dir, 100 * share->second);
    }
    for (const char* dir : {"Encipher", "Decipher"}) {
        const auto it = reporter.counters.find(std::string("BM_ToolAgainstReference") + dir +
                                               "/iterations:7/manual_time");
        if (it == reporter.counters.end() || !it->second.count("tool_ms")) continue;
        auto& c = it->second;
        std::printf(
            "%s: keyvane-cipher on 16 MB with a seed %.1f ms, the plain C yardstick on key "
            "files made beforehand %.1f ms (medians of 7): %.0f%% of the yardstick (median of "
            "the pairs; goal 90%%); portable yardstick %.0f ms, tool %.0f%% of it; processor "
            "time %.1f ms against %.1f ms\n",
            dir, c["tool_ms"], c["reference_ms"], 100 * c["share_of_reference"], c["portable_ms"],
            100 * c["portable_ms"] / c["tool_ms"], c["tool_cpu_ms"], c["reference_cpu_ms"]);
    }
    const auto split = reporter.counters.find("BM_ToolSplit/iterations:5/manual_time");
    if (split != reporter.counters.end() && split->second.count("start_up_ms")) {
        auto& c = split->second;
        std::printf(
            "Split of a tool run (medians of 5, each part alone): start-up %.1f ms, key files "
            "%.1f ms, reading %.1f ms, transforming %.1f ms, writing %.1f ms\n",
            c["start_up_ms"], c["key_files_ms"], c["reading_ms"], c["transforming_ms"],
            c["writing_ms"]);
    }
    return 0;
}
