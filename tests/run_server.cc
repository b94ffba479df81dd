#include "run_server.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::string s(fs::file_size(p), '\0');
    std::ifstream(p, std::ios::binary).read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
}

namespace {

// Where the response that starts at `at` ends, by its Content-Length, once its head is there.
std::optional<std::size_t> response_end(const std::string& s, std::size_t at) {
    const std::string length = "Content-Length: ";
    auto head_end = s.find("\r\n\r\n", at);
    auto len_at = s.find(length, at);
    if (head_end == std::string::npos || len_at > head_end) return std::nullopt;
    return head_end + 4 + std::strtoull(s.c_str() + len_at + length.size(), nullptr, 10);
}

}  // namespace

temp_site::temp_site(std::initializer_list<std::pair<const char*, std::string>> files,
                     const fs::path& base) {
    std::string pattern = (base / "stdhttpd-XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
    for (const auto& [rel, content] : files) file(rel, content);
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

namespace {

// A server that this build made, or the one of that name in the ARM build.
std::string server(const char* built) {
    const char* arm = std::getenv("STDHTTPD_ARM64");
    return arm ? (fs::path(arm) / fs::path(built).filename()).string() : built;
}

// The server binary where user nobody can reach it: the build tree may lie
// in a folder that only its owner can enter.
const std::string& reachable_binary() {
    static const temp_site copy;
    static const std::string path = [] {
        fs::permissions(copy.dir, fs::perms(0755));
        const auto to = copy.dir / "stdhttpd";
        fs::copy_file(server(STDHTTPD_BIN), to);
        return to.string();
    }();
    return path;
}

bool drops_privileges(const run_options& options) {
    return (options.unprivileged || options.threads > 0) && ::geteuid() == 0;
}

}  // namespace

const char* emulator() {
    return std::getenv("STDHTTPD_ARM64") ? "qemu-aarch64-static" : nullptr;
}

std::optional<std::string> unprivileged_unavailable() {
    if (::geteuid() == 0) return std::nullopt;
    // Any other user must be refused a file of mode 0 of its own.
    temp_site probe({{"f", "x"}});
    fs::permissions(probe.dir / "f", fs::perms::none);
    const int fd = ::open((probe.dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return "this user reads files whatever their mode, and only root can drop to another user";
}

std::optional<std::string> threads_unavailable() {
    if (::geteuid() == 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(::unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
    if (wait_server(pid) == 0) return std::nullopt;
    return "this user can neither drop to a user of its own nor make a user namespace";
}

pid_t start_server(const fs::path& dir, int in, int out, int err, const run_options& options,
                   const fs::path& peak_file) {
    const std::string binary = options.quick_limits        ? server(STDHTTPD_QUICK_BIN)
                               : drops_privileges(options) ? reachable_binary()
                                                           : server(STDHTTPD_BIN);
    std::vector<std::string> words;
    // A forked child's peak counts the parent's pages, so the peak is taken
    // from a small measuring process that starts the server itself.
    if (!peak_file.empty())
        words = {"/usr/bin/time", "-f", "%M", "-o", peak_file.string(), "--quiet"};
    words.insert(words.end(), options.wrapper.begin(), options.wrapper.end());
    if (emulator()) words.push_back(emulator());
    // Each process's calls are logged, unless it runs as a user who could
    // not write them there.
    if (emulator() && !drops_privileges(options))
        words.insert(words.end(), {"-strace", "-D",
                                   std::string(std::getenv("STDHTTPD_ARM64")) + "/calls/%d.log"});
    words.push_back(binary);
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (options.close_stdout) ::close(1);
    if (options.stack_bytes > 0) {
        rlimit lim{options.stack_bytes, options.stack_bytes};
        ::setrlimit(RLIMIT_STACK, &lim);
    }
    // Left open from 3 up; the measuring process leaves one of its own after them.
    for (int fd = 3; fd < 3 + options.inherited - (peak_file.empty() ? 0 : 1); ++fd) ::dup2(0, fd);
    if (options.open_files > 0) {
        rlimit lim{options.open_files, options.open_files_hard};
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    for (const auto& setting : options.environment) ::putenv(const_cast<char*>(setting.c_str()));
    // A limit on threads counts every process of the user, so it gets a user
    // of its own: root drops to one, any other user counts anew in a user
    // namespace of its own.
    const uid_t user = options.threads > 0 ? 65533 : 65534;
    if (options.threads > 0) {
        if (::geteuid() != 0 && ::unshare(CLONE_NEWUSER) != 0) ::_exit(126);
        rlimit lim{options.threads, options.threads};
        ::setrlimit(RLIMIT_NPROC, &lim);
    }
    if (drops_privileges(options) &&
        (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0))
        ::_exit(126);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    if (::chdir(dir.c_str()) == 0) ::execvp(argv[0], argv.data());
    ::_exit(127);
}

int wait_server(pid_t pid) {
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

run_result run_server(const fs::path& dir, const std::string& input, run_options options) {
    temp_site io;
    std::ofstream(io.dir / "in", std::ios::binary) << input;
    std::ofstream(io.dir / "peak").flush();
    // An unprivileged server's measuring process must still write its figure.
    fs::permissions(io.dir, fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(io.dir / "peak", fs::perms::others_write, fs::perm_options::add);
    const int in = ::open((io.dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open((io.dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = ::open((io.dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    // With standard output closed, the measuring process's own file would take its place.
    const auto peak = options.close_stdout ? fs::path() : io.dir / "peak";
    run_result r;
    r.status = wait_server(start_server(dir, in, out, err, options, peak));
    r.consumed = ::lseek(in, 0, SEEK_CUR);
    for (int fd : {in, out, err}) ::close(fd);
    r.peak_kib = std::atol(slurp(io.dir / "peak").c_str());
    r.out = slurp(io.dir / "out");
    r.err = slurp(io.dir / "err");
    return r;
}

std::multiset<std::string> split_responses(const std::string& out) {
    std::multiset<std::string> all;
    for (std::size_t at = 0; at < out.size();) {
        auto end = std::min(response_end(out, at).value_or(out.size()), out.size());
        all.insert(out.substr(at, end - at));
        at = end;
    }
    return all;
}

std::optional<std::size_t> first_difference(const std::string& out,
                                            const std::vector<std::string_view>& expected) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < expected.size(); at += expected[i++].size())
        if (out.compare(at, expected[i].size(), expected[i]) != 0) return i;
    if (at != out.size()) return expected.size();
    return std::nullopt;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
    return std::vector<std::string_view>(texts.begin(), texts.end());
}

run_result expect_answers(const fs::path& dir, const std::string& input,
                          const std::vector<std::string_view>& expected, const std::string& name,
                          run_options options) {
    auto r = run_server(dir, input, options);
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.err, "") << name;
    const auto differs = first_difference(r.out, expected);
    EXPECT_EQ(differs, std::nullopt)
        << name << ": " << r.out.size() << " bytes out, starting " << r.out.substr(0, 200);
    return r;
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

std::string repeat(int n, const std::string& s) {
    std::string all;
    for (int i = 0; i < n; ++i) all += s;
    return all;
}

std::string basic(const std::string& user_password) {
    static const char* alph = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string& s = user_password;
    std::string out;
    for (std::size_t i = 0; i < s.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(s[i]) << 16;
        if (i + 1 < s.size()) v |= static_cast<unsigned char>(s[i + 1]) << 8;
        if (i + 2 < s.size()) v |= static_cast<unsigned char>(s[i + 2]);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= s.size() - i ? alph[v >> (18 - 6 * k) & 63] : '=';
    }
    return "Authorization: Basic " + out + "\r\n";
}

peer::peer(const std::filesystem::path& dir, bool socket, bool non_blocking,
           const run_options& options) {
    // Writing to a server that has gone fails, and must not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (socket) {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), 0);
        out[0] = ::fcntl(in[0], F_DUPFD_CLOEXEC, 0);
        out[1] = ::fcntl(in[1], F_DUPFD_CLOEXEC, 0);
        std::swap(in[0], in[1]);  // in[0] and out[1] are the server's end
    } else {
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    }
    if (non_blocking)
        for (int fd : {in[0], out[1]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    pid = start_server(dir, in[0], out[1], 2, options);
    ::close(in[0]);
    ::close(out[1]);
    to_server = in[1];
    from_server = out[0];
}

peer::~peer() {
    for (int fd : {to_server, from_server})
        if (fd >= 0) ::close(fd);
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        wait_server(pid);
    }
}

bool peer::send(const std::string& s) const {
    return ::write(to_server, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

std::string peer::read_all(std::chrono::milliseconds pause) const {
    std::string all;
    char buffer[64 << 10];
    for (ssize_t n; (n = ::read(from_server, buffer, sizeof buffer)) > 0;) {
        all.append(buffer, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(pause);
    }
    return all;
}

int peer::finish() {
    const int status = wait_server(pid);
    pid = -1;
    return status;
}
