// Benchmark: qbxmodflash --all over a crate system of 65536-word modules with full-size
// firmware, against the simulated crate server without injected delays, beside a minimal
// client of the stand-in libraries that moves exactly the same bytes per module (open,
// erase, write, read back, close). Prints the wall time of each, their ratio, the bytes
// moved per second and the program's peak resident memory.
//   flash_bench [--crates N] [--modules M] [--rounds R]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "fwimage/firmware_image.h"
#include "platform/qbxavrapi.h"
#include "process.h"
#include "sim_server.h"

namespace {

constexpr uint32_t WORDS = 65536;  // QBX71

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the program with its output discarded; returns the wall time and fills the peak
// resident memory in KiB.
double run_program(const std::vector<std::string> &args, long *peak_kib, int *status) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        std::vector<char *> argv;
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wait_status = 0;
    rusage usage = {};
    wait4(pid, &wait_status, 0, &usage);
    *peak_kib = usage.ru_maxrss;
    *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    return seconds_since(start);
}

int ignore_progress(intptr_t, intptr_t, intptr_t, intptr_t) { return 0; }

// What the program's progress callback does: a dot, flushed, per written block.
int print_progress(intptr_t, intptr_t, intptr_t, intptr_t) {
    putchar('.');
    return fflush(stdout);
}

// The same module traffic as the program's, with nothing else around it, in a process of
// its own like the program's. Returns the wall time; *ok tells that every module verified.
double run_minimal_client(int crates, int modules, const std::vector<uint8_t> &image,
                          QBXAVR_ProgressCallback progress, bool *ok) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(1);
        std::vector<uint8_t> back(image.size());
        bool all_verified = true;
        for (int crate = 0; crate < crates; ++crate) {
            const std::string serial = "B-" + std::to_string(crate);
            for (int slot = 1; slot <= modules; ++slot) {
                AvrHandle handle;
                QBXAVR_Init(&handle);
                int rc = QBXAVR_Open(&handle, 0x7F000001, 11111, serial.c_str(), slot);
                if (rc == 0) rc = QBXAVR_ChipErase(&handle);
                if (rc == 0)
                    rc = QBXAVR_WriteProgrammMemoryCb(&handle, image.data(), WORDS, 0, progress,
                                                      nullptr);
                if (rc == 0) rc = QBXAVR_ReadProgrammMemory(&handle, back.data(), WORDS, 0);
                if (rc == 0 && back != image) rc = -1;
                const int close_rc = QBXAVR_Close(&handle);
                all_verified = all_verified && rc == 0 && close_rc == 0;
            }
        }
        _exit(all_verified ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    *ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return seconds_since(start);
}

}  // namespace

int main(int argc, char **argv) {
    int crates = 16, modules = 16, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--crates"))
            crates = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--modules"))
            modules = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--rounds"))
            rounds = atoi(argv[i + 1]);
    }
    crates = std::clamp(crates, 1, 16);
    modules = std::clamp(modules, 1, 16);
    rounds = std::max(rounds, 1);

    SimServer server;
    server.keep_state = false;
    if (!start_sim(&server, uniform_crates_json("B-", "QBX71", crates, modules))) {
        fprintf(stderr, "flash_bench: the simulated crate server did not start\n");
        return 1;
    }
    ImageSpec image_spec;
    image_spec.kind = find_module_kind("QBX71");
    const std::vector<uint8_t> image = build_firmware_image(image_spec);
    const std::string firmware = server.dir + "/fw.bin";
    write_file(firmware, image);
    const std::string endpoint = endpoint_setting(server);
    setenv("QBXD_ENDPOINT", endpoint.substr(endpoint.find('=') + 1).c_str(), 1);

    // Both clients write the file's image and read it back; the program also carries each
    // module's serial over, which changes no byte count.
    double best_program = 1e9, best_client = 1e9, best_dotted = 1e9;
    long peak_kib = 0, baseline_kib = 0;
    int status = 0, failures = 0;
    for (int round = 0; round < rounds; ++round) {
        long peak = 0;
        best_program = std::min(best_program,
                                run_program({QBXMODFLASH_BIN, "--all", firmware}, &peak, &status));
        peak_kib = std::max(peak_kib, peak);
        failures += status != 0;
        bool ok = false;
        best_client =
            std::min(best_client, run_minimal_client(crates, modules, image, ignore_progress, &ok));
        failures += !ok;
        best_dotted =
            std::min(best_dotted, run_minimal_client(crates, modules, image, print_progress, &ok));
        failures += !ok;
    }
    run_program({QBXMODFLASH_BIN, "-h"}, &baseline_kib, &status);
    discard_sim(&server);

    const double mib = 2.0 * 2 * WORDS * crates * modules / 1048576;  // written and read back
    printf("modules: %d crates x %d = %d, %u bytes each way per module, best of %d rounds\n",
           crates, modules, crates * modules, 2 * WORDS, rounds);
    printf("qbxmodflash --all           : %6.3f s  %6.1f MiB/s\n", best_program,
           mib / best_program);
    printf("minimal client              : %6.3f s  %6.1f MiB/s  ratio %.3f\n", best_client,
           mib / best_client, best_program / best_client);
    printf("minimal client, with dots   : %6.3f s  %6.1f MiB/s  ratio %.3f\n", best_dotted,
           mib / best_dotted, best_program / best_dotted);
    printf(
        "peak RSS: %ld KiB; qbxmodflash -h: %ld KiB; above it: %ld KiB "
        "(two image buffers: %u KiB)\n",
        peak_kib, baseline_kib, peak_kib - baseline_kib, 2 * 2 * WORDS / 1024);
    if (failures) fprintf(stderr, "flash_bench: %d runs did not flash every module\n", failures);
    return failures ? 1 : 0;
}
