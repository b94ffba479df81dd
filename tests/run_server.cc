#include "run_server.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

temp_site::temp_site() {
    std::string pattern = (fs::temp_directory_path() / "stdhttpd-XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
}

temp_site::~temp_site() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

void temp_site::file(const std::string& rel, const std::string& content) const {
    fs::create_directories((dir / rel).parent_path());
    std::ofstream(dir / rel, std::ios::binary) << content;
}

void temp_site::link(const std::string& rel, const std::string& to) const {
    fs::create_directories((dir / rel).parent_path());
    fs::create_symlink(to, dir / rel);
}

run_result run_server(const fs::path& dir, const std::string& input, rlim_t stack_bytes) {
    temp_site io;
    std::ofstream(io.dir / "in", std::ios::binary) << input;
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open((io.dir / "in").c_str(), O_RDONLY);
        int out = ::open((io.dir / "out").c_str(), O_WRONLY | O_CREAT, 0600);
        int err = ::open((io.dir / "err").c_str(), O_WRONLY | O_CREAT, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (stack_bytes > 0) {
            rlimit lim{stack_bytes, stack_bytes};
            ::setrlimit(RLIMIT_STACK, &lim);
        }
        if (::chdir(dir.c_str()) == 0) ::execl(STDHTTPD_BIN, "stdhttpd", nullptr);
        ::_exit(127);
    }
    run_result r;
    int wstatus = 0;
    rusage usage{};
    ::wait4(pid, &wstatus, 0, &usage);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.peak_kib = usage.ru_maxrss;
    r.out = slurp(io.dir / "out");
    r.err = slurp(io.dir / "err");
    return r;
}

std::multiset<std::string> split_responses(const std::string& out) {
    std::multiset<std::string> all;
    const std::string length = "Content-Length: ";
    std::size_t at = 0;
    while (at < out.size()) {
        auto head_end = out.find("\r\n\r\n", at);
        auto len_at = out.find(length, at);
        std::size_t end = out.size();
        if (head_end != std::string::npos && len_at != std::string::npos && len_at < head_end)
            end = std::min<std::size_t>(out.size(), head_end + 4 +
                                           std::strtoull(out.c_str() + len_at + length.size(),
                                                         nullptr, 10));
        all.insert(out.substr(at, end - at));
        at = end;
    }
    return all;
}

std::string ok(const std::string& body) {
    return "HTTP/1.1 200 Take this!\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string refused() {
    return "HTTP/1.1 401 You shall not pass.\r\n"
           "WWW-Authenticate: Basic realm=\"secrets of qor\"\r\n"
           "Content-Length: 0\r\n\r\n";
}

std::string missing() {
    return "HTTP/1.1 404 I lost that long ago, or maybe I never had it, in any case it's "
           "not there now.\r\nContent-Length: 0\r\n\r\n";
}

std::string get(const std::string& path, const std::string& headers) {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
}
