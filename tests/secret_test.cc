// Secret paths and credentials through the real binary.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "run_server.h"

namespace fs = std::filesystem;

namespace {

const std::string note = "the note";

struct password_form {
    const char* name;
    // nothing: none; "/": a directory; "/..": a link; "elsewhere", "up": a
    // link to a file in another folder, holding "pw", by its absolute path or
    // through ".."
    std::optional<std::string> file;
    std::optional<std::string> sent;  // user:password sent, if any
    bool served;
};

const password_form password_forms[] = {
    {"no credential", "pw\n", std::nullopt, false},
    {"line feed", "pw\n", "root:pw", true},
    {"CR LF", "pw\r\n", "root:pw", true},
    {"trailing space sent", "pw\n", "root:pw ", false},
    {"wrong case", "pw\n", "root:PW", false},
    {"other user", "pw\n", "toor:pw", false},
    {"leading spaces kept", "  pw\n", "root:  pw", true},
    {"leading spaces needed", "  pw\n", "root:pw", false},
    {"password with colons", "a:b:c\n", "root:a:b:c", true},
    {"inner line feed", "p\nw\n", "root:p", false},
    {"missing file", std::nullopt, "root:", false},
    {"empty file", "", "root:", false},
    {"white space only", " \t\r\n", "root:", false},
    {"directory in its place", "/", "root:", false},
    {"device in its place", "/dev/zero", "root:", false},
    {"link to another folder", "elsewhere", "root:pw", true},
    {"link through ..", "up", "root:pw", true},
};

}  // namespace

class PasswordFile : public testing::TestWithParam<password_form> {};

// The guarded file is served for exactly the password the file holds.
TEST_P(PasswordFile, Forms) {
    const auto& c = GetParam();
    const temp_site elsewhere({{"keys/pw", "pw\n"}});
    temp_site s({{"wwwroot/secret/note.txt", note}});
    if (c.file == "elsewhere") s.link("password.txt", elsewhere.dir / "keys/pw");
    if (c.file == "up") s.link("password.txt", ".." / elsewhere.dir.filename() / "keys/pw");
    if (c.file == "/")
        fs::create_directory(s.dir / "password.txt");
    else if (c.file && c.file->starts_with("/"))
        s.link("password.txt", *c.file);
    else if (c.file && c.file != "elsewhere" && c.file != "up")
        s.file("password.txt", *c.file);
    expect_answers(s.dir, get("/secret/note.txt", c.sent ? basic(*c.sent) : ""),
                   {c.served ? ok(note) : refused()}, c.name);
}

INSTANTIATE_TEST_SUITE_P(Secret, PasswordFile, testing::ValuesIn(password_forms), row_name{});

// A Kubernetes Secret volume, rotated while a client stays, is read afresh.
TEST(Secret, RotatedVolume) {
    // password.txt -> ..data/password.txt, ..data -> a folder of its own,
    // rotated by swapping ..data.
    const temp_site volume(
        {{"..2026_a/password.txt", "old\n"}, {"..2026_b/password.txt", "new\n"}});
    volume.link("..data", "..2026_a");
    volume.link("password.txt", "..data/password.txt");
    temp_site s({{"wwwroot/secret/note.txt", note}});
    s.link("password.txt", volume.dir / "password.txt");
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = start_server(s.dir, in[0], out[1], 2);
    for (int fd : {in[0], out[1]}) ::close(fd);
    const auto ask = [&](const char* password) {
        const auto request = get("/secret/note.txt", basic(std::string("root:") + password));
        EXPECT_EQ(::write(in[1], request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
        std::string answer(ok(note).size(), '\0');
        std::size_t got = 0;
        for (ssize_t n = 1; got < answer.size() && n > 0; got += static_cast<std::size_t>(n))
            n = ::read(out[0], answer.data() + got, answer.size() - got);
        return answer.substr(0, got);
    };
    EXPECT_EQ(ask("old"), ok(note)) << "kubelet layout";
    volume.link("..data_tmp", "..2026_b");
    fs::rename(volume.dir / "..data_tmp", volume.dir / "..data");
    EXPECT_EQ(ask("new"), ok(note)) << "kubelet layout, rotated";
    ::close(in[1]);
    EXPECT_EQ(wait_server(pid), 0);
    ::close(out[0]);
}

struct guarded_path {
    const char* name;
    bool below;  // the root lies below a folder named secretary
    const char* path;
    std::string body;
    bool guarded;
};

const guarded_path guarded_paths[] = {
    {"longer name", false, "/mysecrets.txt", "m", true},
    {"capital S", false, "/Secret.txt", "capital", false},
    {"directory", false, "/secret", "", true},
    {"link into a secret directory", false, "/plain-link", "s", true},
    {"secret-named link to a plain file", false, "/secret-link", "plain", false},
    {"root below a secret folder", true, "/", "i", true},
};

class Guarded : public testing::TestWithParam<guarded_path> {};

// A path is guarded when its resolved form holds "secret", and then served
// with the right credential.
TEST_P(Guarded, Paths) {
    static const temp_site site = [] {
        temp_site s({{"password.txt", "pw\n"},
                     {"wwwroot/mysecrets.txt", "m"},
                     {"wwwroot/Secret.txt", "capital"},
                     {"wwwroot/secret/s.txt", "s"},
                     {"wwwroot/plain.txt", "plain"},
                     {"secretary/password.txt", "pw\n"},
                     {"secretary/wwwroot/index.html", "i"}});
        s.link("wwwroot/plain-link", "secret/s.txt");
        s.link("wwwroot/secret-link", "plain.txt");
        return s;
    }();
    const auto& c = GetParam();
    const auto dir = c.below ? site.dir / "secretary" : site.dir;
    expect_answers(dir, get(c.path), {c.guarded ? refused() : ok(c.body)}, c.name);
    expect_answers(dir, get(c.path, basic("root:pw")), {ok(c.body)}, c.name);
}

INSTANTIATE_TEST_SUITE_P(Secret, Guarded, testing::ValuesIn(guarded_paths), row_name{});

class Credentials : public testing::TestWithParam<std::pair<std::string, std::string>> {};
// The last credential header that is accepted decides.
TEST_P(Credentials, LastAcceptedWins) {
    const temp_site s({{"password.txt", "pw\n"}, {"wwwroot/secret.txt", "x"}});
    expect_answers(s.dir, get("/secret.txt", GetParam().first), {GetParam().second},
                   GetParam().first);
}
INSTANTIATE_TEST_SUITE_P(
    Secret, Credentials,
    testing::Values(
        std::pair{basic("root:no") + basic("root:pw"), ok("x")},
        std::pair{basic("root:pw") + basic("root:no"), refused()},
        std::pair{basic("root:pw") + basic("toor:no") + "Authorization: Basic ====\r\n", ok("x")},
        std::pair{basic("root:pw") + "authorization" + basic("root:no").substr(13), ok("x")},
        std::pair{"Authorization: Basic  " + basic("root:pw").substr(21), refused()},
        std::pair{"Authorization:    Basic " + basic("root:pw").substr(21), ok("x")},
        std::pair{"  " + basic("root:pw"), refused()}));
