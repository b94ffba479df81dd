#pragma once
// Runs the real binary in a temporary site and reads back what it wrote.
#include <sys/resource.h>

#include <filesystem>
#include <set>
#include <string>

struct run_result {
    std::string out;
    std::string err;
    int status = -1;        // exit status, or -1 when it did not exit normally
    long peak_kib = 0;      // peak resident memory of the server, in KiB
};

struct run_options {
    rlim_t stack_bytes = 0;     // > 0: the stack limit it runs under
    bool unprivileged = false;  // run as user nobody when the tests run as root
};

// Runs stdhttpd in dir with input on standard input.
run_result run_server(const std::filesystem::path& dir, const std::string& input,
                      run_options options = {});

// A server kept running with its standard streams on pipes, for a conversation.
class live_server {
public:
    explicit live_server(const std::filesystem::path& dir);
    ~live_server();
    void send(const std::string& bytes) const;
    // Returns the next whole response, or what arrived before 10 s passed.
    std::string next_response();
    // Closes the input and returns the exit status.
    int finish();

private:
    int pid_ = -1, in_ = -1, out_ = -1;
    std::string pending_;
};

// Splits an output stream into whole responses, using each one's Content-Length;
// a cut-short response ends up as the last element as it is.
std::multiset<std::string> split_responses(const std::string& out);

// A fresh empty directory below the system's temporary folder, removed on destruction.
struct temp_site {
    std::filesystem::path dir;
    temp_site();
    ~temp_site();
    void file(const std::string& rel, const std::string& content) const;
    void link(const std::string& rel, const std::string& to) const;
};

// The exact response texts.
std::string ok(const std::string& body);
std::string refused();
std::string missing();
std::string get(const std::string& path, const std::string& headers = "");
