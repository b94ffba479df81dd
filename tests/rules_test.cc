// Tables for the small rules: trimming, containment, decoding, comparison, the served root,
// the cgroup's memory limit and the plan made of it.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "common/rtrim.h"
#include "handling/allowed.h"
#include "handling/secret.h"
#include "intake/b64decode.h"
#include "server/plan.h"
#include "sys/failure.h"
#include "sys/limits.h"

using namespace std::string_literals;

TEST(Rules, Rtrim) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"abc \t\n\v\f\r", "abc"},
        {" \t\r\n", ""},
        {"  lead", "  lead"},
        {"in ner \r", "in ner"},
        {"nul\0"s, "nul\0"s},
        {"high\xa0\x85", "high\xa0\x85"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(rtrim(in), want) << in;
}

TEST(Rules, Inside) {
    const struct {
        const char* path;
        const char* root;
        bool want;
    } cases[] = {
        {"/srv/wwwroot", "/srv/wwwroot", true},
        {"/srv/wwwroot/a", "/srv/wwwroot", true},
        {"/srv/wwwroot-old/f", "/srv/wwwroot", false},
        {"/srv/wwwrootx", "/srv/wwwroot", false},
        {"/srv", "/srv/wwwroot", false},
        {"/etc/passwd", "/", true},
    };
    for (const auto& c : cases) EXPECT_EQ(inside(c.path, c.root), c.want) << c.path;
}

TEST(Rules, B64decode) {
    const std::pair<std::string, optional_text> cases[] = {
        {"", ""},
        {"YWJj", "abc"},
        {"YWI=", "ab"},
        {"YQ==", "a"},
        {"YQ==YWJj", ""},
        {"YWJ", std::nullopt},
        {"YW Jj", std::nullopt},
        {"YW J", "ao\xc9"},  // the space counts as 63
        {"////", "\xff\xff\xff"},
        {"\x80\xff!*", "\xff\xff\xff"},
        {"=AAA", std::nullopt},
        {"====", std::nullopt},
        {"AA=A", "\0"s},
        {"cm9vdDpwdw==", "root:pw"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(b64decode(in), want) << in;
}

TEST(Rules, SameText) {
    const struct {
        const char* a;
        const char* b;
        bool want;
    } cases[] = {
        {"", "", true},       {"pw", "pw", true}, {"pw", "pW", false},
        {"pw", "pw ", false}, {"", "x", false},   {"longer", "long", false},
    };
    for (const auto& c : cases) EXPECT_EQ(same_text(c.a, c.b), c.want) << c.a << "|" << c.b;
}

TEST(Rules, FailureClasses) {
    constexpr auto now = failure::not_now, there = failure::not_there, gone = failure::gone;
    const struct {
        int error;
        on where;
        failure want;
    } cases[] = {
        {EINTR, on::file, now},         {EAGAIN, on::stream, now},  {ENOMEM, on::file, now},
        {ENOMEM, on::stream, now},      {ENOBUFS, on::stream, now}, {EMFILE, on::file, now},
        {ENFILE, on::file, now},        {ENOENT, on::file, there},  {ENOTDIR, on::file, there},
        {ELOOP, on::file, there},       {EACCES, on::file, there},  {ENAMETOOLONG, on::file, there},
        {EIO, on::file, there},         {EIO, on::stream, gone},    {EPIPE, on::stream, gone},
        {ECONNRESET, on::stream, gone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classify(c.error, c.where), c.want) << c.error << " " << int(c.where);
    // And how each passing one is waited out.
    const struct {
        int error;
        retry want;
    } retries[] = {
        {EINTR, retry::at_once},          {EAGAIN, retry::when_ready},
        {EWOULDBLOCK, retry::when_ready}, {ENOMEM, retry::after_pause},
        {EMFILE, retry::after_pause},     {ENOBUFS, retry::after_pause},
    };
    for (const auto& r : retries) EXPECT_EQ(how_to_retry(r.error), r.want) << r.error;
}

// The served root is looked for until it exists, then kept even if it moves.
TEST(Rules, ServedRootIsKeptOnceFound) {
    namespace fs = std::filesystem;
    const auto before = fs::current_path();
    const auto dir = fs::temp_directory_path() / ("root-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    EXPECT_EQ(served_root(), std::nullopt);
    fs::create_directory("wwwroot");
    const auto found = fs::canonical("wwwroot").string();
    EXPECT_EQ(served_root(), found);
    fs::rename("wwwroot", "moved");
    EXPECT_EQ(served_root(), found);
    fs::current_path(before);
    fs::remove_all(dir);
}

// The memory limit is found whichever cgroup layout the host has: files laid
// out below a folder of the test's own, as /proc and /sys show them. Of what
// the limit leaves past 1 MiB, half is for bodies, a quarter for workers.
TEST(Rules, CgroupMemoryLimit) {
    namespace fs = std::filesystem;
    const std::string v1_mount =
        "36 31 0:33 /machine.slice/c.scope /cgroups/memory ro - cgroup cgroup rw,memory\n";
    const struct {
        const char* name;
        std::map<std::string, std::string> files;
        std::optional<std::uint64_t> want;
        std::string folder = "";                            // of the group whose limit binds
        std::size_t bodies_kib = 48 << 10, workers = 1000;  // the plan
    } cases[] = {
        {"v2, the limit on a parent",
         {{"proc/self/cgroup", "0::/kubepods/pod/c\n"},
          {"sys/fs/cgroup/kubepods/pod/c/memory.max", "max\n"},
          {"sys/fs/cgroup/kubepods/pod/memory.max", "67108864\n"}},
         64 << 20,
         "sys/fs/cgroup/kubepods/pod",
         63 << 9,
         504},
        {"v2, a namespace's own root",
         {{"proc/self/cgroup", "0::/\n"}, {"sys/fs/cgroup/memory.max", "41943040\n"}},
         40 << 20,
         "sys/fs/cgroup",
         39 << 9,
         312},
        {"v2, no limit",
         {{"proc/self/cgroup", "0::/a\n"}, {"sys/fs/cgroup/a/memory.max", "max\n"}},
         std::nullopt},
        {"v1, a container's group mounted elsewhere",
         {{"proc/self/cgroup", "4:memory:/machine.slice/c.scope\n0::/\n"},
          {"proc/self/mountinfo", v1_mount},
          {"cgroups/memory/memory.limit_in_bytes", "67108864\n"}},
         64 << 20,
         "cgroups/memory",
         63 << 9,
         504},
        {"hybrid: memory on v1 only",
         {{"proc/self/cgroup", "4:memory:/a\n0::/\n"},
          {"sys/fs/cgroup/memory/a/memory.limit_in_bytes", "1048576\n"},
          {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"}},
         1 << 20,
         "sys/fs/cgroup/memory/a",
         0,
         1},
        {"a limit that is not a number",
         {{"proc/self/cgroup", "0::/a\n"}, {"sys/fs/cgroup/a/memory.max", "12k\n"}},
         std::nullopt},
        {"no cgroup file", {}, std::nullopt},
    };
    const auto root = fs::temp_directory_path() / ("cgroup-test-" + std::to_string(::getpid()));
    for (const auto& c : cases) {
        fs::remove_all(root);
        for (const auto& [path, content] : c.files) {
            fs::create_directories((root / path).parent_path());
            std::ofstream(root / path) << content;
        }
        const auto got = cgroup_memory_limit(root.string());
        EXPECT_EQ(got ? std::optional(got->limit) : std::nullopt, c.want) << c.name;
        EXPECT_EQ(got ? fs::relative(got->folder, root).string() : "", c.folder) << c.name;
        const auto plan = plan_memory(got ? std::optional(got->limit) : std::nullopt);
        EXPECT_EQ(plan.bodies >> 10, c.bodies_kib) << c.name;
        EXPECT_EQ(plan.workers, c.workers) << c.name;
    }
    fs::remove_all(root);
}
