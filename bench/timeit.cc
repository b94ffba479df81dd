// Runs a program several times with a file on standard input and standard output
// discarded, and prints the median wall time in microseconds and the median peak
// resident memory in KiB: "timeit RUNS INPUT PROGRAM".
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const int runs = std::atoi(argv[1]);
    std::vector<long> micros, peaks;
    for (int i = 0; i < runs; ++i) {
        int in = ::open(argv[2], O_RDONLY | O_CLOEXEC);
        int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        auto start = std::chrono::steady_clock::now();
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::execv(argv[3], argv + 3);
            ::_exit(127);
        }
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        auto end = std::chrono::steady_clock::now();
        ::close(in);
        ::close(out);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
        micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
        peaks.push_back(usage.ru_maxrss);
    }
    std::sort(micros.begin(), micros.end());
    std::sort(peaks.begin(), peaks.end());
    std::printf("%ld %ld\n", micros[micros.size() / 2], peaks[peaks.size() / 2]);
    return 0;
}
