// Secret paths and credentials through the real binary.
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "run_server.h"

namespace fs = std::filesystem;

namespace {

std::string base64(const std::string& s) {
    static const char* alph = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < s.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(s[i]) << 16;
        if (i + 1 < s.size()) v |= static_cast<unsigned char>(s[i + 1]) << 8;
        if (i + 2 < s.size()) v |= static_cast<unsigned char>(s[i + 2]);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= s.size() - i ? alph[v >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

std::string basic(const std::string& user_password) {
    return "Authorization: Basic " + base64(user_password) + "\r\n";
}

void expect_one(const fs::path& dir, const std::string& input, const std::string& want,
                const std::string& name) {
    auto r = run_server(dir, input);
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.err, "") << name;
    EXPECT_EQ(r.out, want) << name;
}

}  // namespace

TEST(Secret, PasswordFileForms) {
    const std::string note = "the note";
    const struct {
        const char* name;
        std::optional<std::string> file;  // nothing: none; "/": a directory; "/dev/..": a link
        std::optional<std::string> sent;  // user:password sent, if any
        bool served;
    } cases[] = {
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
    };
    for (const auto& c : cases) {
        temp_site s;
        s.file("wwwroot/secret/note.txt", note);
        if (c.file == "/") fs::create_directory(s.dir / "password.txt");
        else if (c.file && c.file->starts_with("/dev/")) s.link("password.txt", *c.file);
        else if (c.file) s.file("password.txt", *c.file);
        std::string headers = c.sent ? basic(*c.sent) : "";
        expect_one(s.dir, get("/secret/note.txt", headers), c.served ? ok(note) : refused(),
                   c.name);
    }
}

TEST(Secret, GuardedPaths) {
    temp_site s;
    s.file("password.txt", "pw\n");
    s.file("wwwroot/mysecrets.txt", "m");
    s.file("wwwroot/Secret.txt", "capital");
    s.file("wwwroot/secret/s.txt", "s");
    s.file("wwwroot/plain.txt", "plain");
    s.link("wwwroot/plain-link", "secret/s.txt");
    s.link("wwwroot/secret-link", "plain.txt");
    temp_site below;
    below.file("secretary/password.txt", "pw\n");
    below.file("secretary/wwwroot/index.html", "i");
    const struct {
        const char* name;
        fs::path dir;
        const char* path;
        std::string body;
        bool guarded;
    } cases[] = {
        {"longer name", s.dir, "/mysecrets.txt", "m", true},
        {"capital S", s.dir, "/Secret.txt", "capital", false},
        {"directory", s.dir, "/secret", "", true},
        {"link into a secret directory", s.dir, "/plain-link", "s", true},
        {"secret-named link to a plain file", s.dir, "/secret-link", "plain", false},
        {"root below a secret folder", below.dir / "secretary", "/", "i", true},
    };
    for (const auto& c : cases) {
        expect_one(c.dir, get(c.path), c.guarded ? refused() : ok(c.body), c.name);
        expect_one(c.dir, get(c.path, basic("root:pw")), ok(c.body), c.name);
    }
}

TEST(Secret, LastAcceptedCredentialWins) {
    temp_site s;
    s.file("password.txt", "pw\n");
    s.file("wwwroot/secret.txt", "x");
    const std::pair<std::string, std::string> cases[] = {
        {basic("root:no") + basic("root:pw"), ok("x")},
        {basic("root:pw") + basic("root:no"), refused()},
        {basic("root:pw") + basic("toor:no") + "Authorization: Basic ====\r\n", ok("x")},
        {basic("root:pw") + "authorization: Basic " + base64("root:no") + "\r\n", ok("x")},
        {"Authorization: Basic  " + base64("root:pw") + "\r\n", refused()},
        {"Authorization:    Basic " + base64("root:pw") + "\r\n", ok("x")},
        {"  " + basic("root:pw"), refused()},
    };
    for (const auto& [headers, want] : cases)
        expect_one(s.dir, get("/secret.txt", headers), want, headers);
}
