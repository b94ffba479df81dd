// Tables for the small rules: trimming, containment, decoding, comparison, the served root,
// the cgroup's memory limit and the plan made of it.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include <gtest/gtest.h>

#include "row_name.h"

#include "common/rtrim.h"
#include "handling/allowed.h"
#include "handling/secret.h"
#include "intake/b64decode.h"
#include "server/plan.h"
#include "sys/failure.h"
#include "sys/limits.h"

using namespace std::string_literals;

// clang-format off
class Rtrim : public testing::TestWithParam<std::pair<std::string, std::string>> {};
TEST_P(Rtrim, Trims) { EXPECT_EQ(rtrim(GetParam().first), GetParam().second); }
const std::pair<std::string, std::string> rtrim_rows[] = {
    {"", ""}, {"abc", "abc"}, {"abc \t\n\v\f\r", "abc"}, {" \t\r\n", ""}, {"  lead", "  lead"},
    {"in ner \r", "in ner"}, {"nul\0"s, "nul\0"s}, {"high\xa0\x85", "high\xa0\x85"}};
INSTANTIATE_TEST_SUITE_P(Rules, Rtrim, testing::ValuesIn(rtrim_rows));

class Inside : public testing::TestWithParam<std::tuple<const char*, const char*, bool>> {};
TEST_P(Inside, Decides) {
    const auto [path, root, want] = GetParam();
    EXPECT_EQ(inside(path, root), want) << path;
}
const std::tuple<const char*, const char*, bool> inside_rows[] = {
    {"/srv/wwwroot", "/srv/wwwroot", true}, {"/srv/wwwroot/a", "/srv/wwwroot", true},
    {"/srv/wwwroot-old/f", "/srv/wwwroot", false}, {"/srv/wwwrootx", "/srv/wwwroot", false},
    {"/srv", "/srv/wwwroot", false}, {"/etc/passwd", "/", true}};
INSTANTIATE_TEST_SUITE_P(Rules, Inside, testing::ValuesIn(inside_rows));

class B64decode : public testing::TestWithParam<std::pair<std::string, optional_text>> {};
TEST_P(B64decode, Decodes) { EXPECT_EQ(b64decode(GetParam().first), GetParam().second); }
const std::pair<std::string, optional_text> b64_rows[] = {
    {"", ""}, {"YWJj", "abc"}, {"YWI=", "ab"}, {"YQ==", "a"}, {"YQ==YWJj", ""},
    {"YWJ", std::nullopt}, {"YW Jj", std::nullopt},
    {"YW J", "ao\xc9"},  // the space counts as 63
    {"////", "\xff\xff\xff"}, {"\x80\xff!*", "\xff\xff\xff"}, {"=AAA", std::nullopt},
    {"====", std::nullopt}, {"AA=A", "\0"s}, {"cm9vdDpwdw==", "root:pw"},
};
INSTANTIATE_TEST_SUITE_P(Rules, B64decode, testing::ValuesIn(b64_rows));

class SameText : public testing::TestWithParam<std::tuple<std::string, std::string, bool>> {};
TEST_P(SameText, Compares) {
    const auto [a, b, want] = GetParam();
    EXPECT_EQ(same_text(a, b), want) << a << "|" << b;
}
const std::tuple<std::string, std::string, bool> same_rows[] = {
    {"", "", true}, {"pw", "pw", true}, {"pw", "pW", false}, {"pw", "pw ", false},
    {"", "x", false}, {"longer", "long", false}, {"pw", "pw\0"s, false}};
INSTANTIATE_TEST_SUITE_P(Rules, SameText, testing::ValuesIn(same_rows));
// clang-format on

struct failure_row {
    int error;
    on where;
    failure want;
    std::optional<retry> retried = {};  // how a passing one is waited out
};
class FailureClasses : public testing::TestWithParam<failure_row> {};
TEST_P(FailureClasses, Classify) {
    const auto& c = GetParam();
    EXPECT_EQ(classify(c.error, c.where), c.want) << c.error << " " << int(c.where);
    if (c.retried) {
        EXPECT_EQ(how_to_retry(c.error), *c.retried) << c.error;
    }
}
constexpr auto now = failure::not_now, there = failure::not_there, gone = failure::gone;
// clang-format off
const failure_row failure_rows[] = {
    {EINTR, on::file, now, retry::at_once}, {EAGAIN, on::stream, now, retry::when_ready},
    {EWOULDBLOCK, on::stream, now, retry::when_ready}, {ENOMEM, on::file, now, retry::after_pause},
    {ENOMEM, on::stream, now}, {ENOBUFS, on::stream, now, retry::after_pause},
    {EMFILE, on::file, now, retry::after_pause}, {ENFILE, on::file, now},
    {ENOENT, on::file, there}, {ENOTDIR, on::file, there}, {ELOOP, on::file, there},
    {EACCES, on::file, there}, {ENAMETOOLONG, on::file, there}, {EIO, on::file, there},
    {EIO, on::stream, gone}, {EPIPE, on::stream, gone}, {ECONNRESET, on::stream, gone},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rules, FailureClasses, testing::ValuesIn(failure_rows));

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
struct cgroup_row {
    const char* name;
    std::map<std::string, std::string> files;
    std::optional<std::uint64_t> want;
    std::string folder = "";                            // of the group whose limit binds
    std::size_t bodies_kib = 48 << 10, workers = 1000;  // the plan
};
const std::string v1_mount =
    "36 31 0:33 /machine.slice/c.scope /cgroups/memory ro - cgroup cgroup rw,memory\n";
const cgroup_row cgroup_rows[] = {
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
class CgroupMemoryLimit : public testing::TestWithParam<cgroup_row> {};
TEST_P(CgroupMemoryLimit, Found) {
    namespace fs = std::filesystem;
    const auto& c = GetParam();
    const auto root = fs::temp_directory_path() / ("cgroup-test-" + std::to_string(::getpid()));
    fs::remove_all(root);
    for (const auto& [path, content] : c.files) {
        fs::create_directories((root / path).parent_path());
        std::ofstream(root / path) << content;
    }
    const auto got = cgroup_memory_limit(root.string());
    EXPECT_EQ(got ? std::optional(got->limit) : std::nullopt, c.want);
    EXPECT_EQ(got ? fs::relative(got->folder, root).string() : "", c.folder);
    const auto plan = plan_memory(got ? std::optional(got->limit) : std::nullopt);
    EXPECT_EQ(plan.bodies >> 10, c.bodies_kib);
    EXPECT_EQ(plan.workers, c.workers);
    fs::remove_all(root);
}
INSTANTIATE_TEST_SUITE_P(Rules, CgroupMemoryLimit, testing::ValuesIn(cgroup_rows), row_name{});
