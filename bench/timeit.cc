// Runs programs several times each, in turn, with a file on standard input and
// standard output discarded, and prints for each program, on a line of its
// own, the median wall time in microseconds, the median peak resident memory
// in KiB and the median count of context switches (voluntary and not, its
// own and those of the children it waited for):
// "timeit RUNS INPUT PROGRAM [ARGS...] [-- PROGRAM [ARGS...]]...".
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct program {
    std::vector<char*> argv;
    std::vector<long> micros, peaks, switches;
};

long median(std::vector<long> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs the program once; false when it did not end with status 0.
bool run_once(program& p, const char* input) {
    int in = ::open(input, O_RDONLY | O_CLOEXEC);
    int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::execv(p.argv[0], p.argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    auto end = std::chrono::steady_clock::now();
    ::close(in);
    ::close(out);
    p.micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
    p.peaks.push_back(usage.ru_maxrss);
    p.switches.push_back(usage.ru_nvcsw + usage.ru_nivcsw);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const int runs = std::atoi(argv[1]);
    std::vector<program> programs(1);
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            programs.back().argv.push_back(nullptr);
            programs.emplace_back();
        } else {
            programs.back().argv.push_back(argv[i]);
        }
    }
    programs.back().argv.push_back(nullptr);
    // Interleaved, so that whatever else the machine does weighs on all alike.
    for (int i = 0; i < runs; ++i)
        for (auto& p : programs)
            if (!run_once(p, argv[2])) return 1;
    for (const auto& p : programs)
        std::printf("%ld %ld %ld\n", median(p.micros), median(p.peaks), median(p.switches));
    return 0;
}
