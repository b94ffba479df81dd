#pragma once
// Runs the real binary in a temporary site and reads back what it wrote.
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "row_name.h"

struct run_result {
    std::string out;
    std::string err;
    int status = -1;    // exit status, or -1 when it did not exit normally
    long peak_kib = 0;  // peak resident memory of the server, in KiB
    long consumed = 0;  // bytes of the input that the server read
};

struct run_options {
    rlim_t stack_bytes = 0;                     // > 0: the stack limit it runs under
    bool unprivileged = false;                  // run as user nobody when the tests run as root
    rlim_t threads = 0;                         // > 0: its limit on threads, as a user of its own
    rlim_t open_files = 0;                      // > 0: the soft limit on open descriptors
    rlim_t open_files_hard = 4096;              // with open_files: the hard limit
    std::vector<std::string> environment = {};  // NAME=value set for the server
    std::vector<std::string> wrapper = {};      // a command that runs the server, e.g. strace
    bool close_stdout = false;                  // start it with standard output closed
    int inherited = 0;  // descriptors open beside 0-2 when it starts, as an activator may leave
    bool quick_limits = false;  // the build whose idle and stall limits are STDHTTPD_QUICK_LIMIT s
};

// The emulator that runs the servers when STDHTTPD_ARM64 names the folder of
// those built for 64-bit ARM, or nothing; their calls go to its calls/.
const char* emulator();
// Why confinement and traced calls cannot be judged there.
inline const char* const under_emulation =
    "under emulation, seccomp and strace see the emulator's calls, not the server's";

// Runs stdhttpd in dir with input on standard input.
run_result run_server(const std::filesystem::path& dir, const std::string& input,
                      run_options options = {});

// Starts stdhttpd in dir on the given standard input and output (and standard
// error on err), measured into peak_file when one is named; returns its pid.
pid_t start_server(const std::filesystem::path& dir, int in, int out, int err,
                   const run_options& options = {}, const std::filesystem::path& peak_file = {});

// Waits for a server; its exit status, or -1 when it did not exit normally.
int wait_server(pid_t pid);

// Why the unprivileged runs cannot check what they check as the current user,
// or nothing when they can: root can drop to nobody, and any other user is
// held to the modes of its own files.
std::optional<std::string> unprivileged_unavailable();

// Why a limit on threads cannot be set for the server alone, or nothing when
// it can.
std::optional<std::string> threads_unavailable();

// The whole content of a file, read at once.
std::string slurp(const std::filesystem::path& p);

// Splits an output stream into whole responses, using each one's Content-Length;
// a cut-short response ends up as the last element as it is.
std::multiset<std::string> split_responses(const std::string& out);

// The index of the first expected response that out does not hold in its
// place, expected.size() when out holds more, or nothing when out is exactly
// the expected responses in order.
std::optional<std::size_t> first_difference(const std::string& out,
                                            const std::vector<std::string_view>& expected);

// Views of the texts, which must outlive them: a thousand like answers can
// then be expected from one text.
std::vector<std::string_view> views(const std::vector<std::string>& texts);

// Runs the server and expects status 0, nothing on standard error and exactly
// the expected responses, in request order; returns the run for further checks.
run_result expect_answers(const std::filesystem::path& dir, const std::string& input,
                          const std::vector<std::string_view>& expected, const std::string& name,
                          run_options options = {});

// A fresh directory below the system's temporary folder holding the given
// files (path, content), removed on destruction.
struct temp_site {
    std::filesystem::path dir;
    explicit temp_site(std::initializer_list<std::pair<const char*, std::string>> files = {},
                       const std::filesystem::path& base = std::filesystem::temp_directory_path());
    ~temp_site();
    void file(const std::string& rel, const std::string& content) const;
    void link(const std::string& rel, const std::string& to) const;
};

// The exact response texts.
std::string ok(const std::string& body);
std::string refused();
std::string missing();
std::string get(const std::string& path, const std::string& headers = "");
std::string repeat(int n, const std::string& s);
// The credential header for "user:password".
std::string basic(const std::string& user_password);

// A server on one end of a socket pair (or on two pipes), the test on the
// other; killed and reaped when it goes out of scope.
struct peer {
    int to_server = -1, from_server = -1;
    pid_t pid = -1;
    peer(const std::filesystem::path& dir, bool socket, bool non_blocking,
         const run_options& options = {});
    peer(const peer&) = delete;
    peer& operator=(const peer&) = delete;
    ~peer();
    // True when all of s was written.
    bool send(const std::string& s) const;
    // Reads until end of output, pausing between reads like a slow client.
    std::string read_all(std::chrono::milliseconds pause = {}) const;
    // Waits for the server to end and returns its status.
    int finish();
};
