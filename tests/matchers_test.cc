// The hand-written line matchers must agree with the regular expressions they
// replace; std::regex is the reference on short lines. Also the parser's tables.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <regex>

#include <gtest/gtest.h>

#include "row_name.h"

#include "intake/credentials.h"
#include "intake/parse_request.h"
#include "intake/request_line.h"

using namespace std::string_literals;

namespace {

using matcher = std::optional<std::string_view> (*)(std::string_view);

struct pattern {
    const char* name;
    matcher hand;
    std::regex reference;
    std::vector<std::string> seeds;
};

std::optional<std::string> by_regex(const std::regex& re, const std::string& s) {
    std::smatch m;
    if (!std::regex_match(s, m, re)) return std::nullopt;
    return m[1].str();
}

std::vector<pattern> patterns() {
    return {
        {"request line",
         match_request_line,
         std::regex("^GET (/[^ ]*) HTTP/1\\.1$"),
         {"GET / HTTP/1.1", "GET /a\tb\r HTTP/1.1", "GET /x?y=%41 HTTP/1.1", "GET /a b HTTP/1.1",
          "GET  / HTTP/1.1", "GET / HTTP/1x1", "GET / HTTP/1.1 "}},
        {"authorization",
         match_authorization,
         std::regex("^Authorization: +Basic (.+)$"),
         {"Authorization: Basic cm9vdDo=", "Authorization:   Basic  x y",
          "authorization: Basic eA==", "Authorization:Basic eA==", "Authorization: Basic ",
          "Authorization: Basic a\rb"}},
        {"root user",
         match_root,
         std::regex("^root:(.*)$"),
         {"root:", "root:pw:with:colons", "root", "toor:pw", "root:a\nb", "root:\0x"s}},
    };
}

}  // namespace

class Matchers : public testing::TestWithParam<pattern> {};

// Each hand-written matcher gives what its regular expression gives, on its
// seeds and on 20000 mutations of them.
TEST_P(Matchers, AgreeWithRegex) {
    std::mt19937 rng(20261208);
    const std::string alphabet = "GET /HTP1.AuhorizBasicrt:\t\r\n\0\x80\xff"s;
    const pattern& p = GetParam();
    std::vector<std::string> lines = p.seeds;
    // Mutations of the seeds: bytes replaced, inserted and removed.
    for (int i = 0; i < 20000; ++i) {
        std::string s = p.seeds[rng() % p.seeds.size()];
        for (int edits = 1 + rng() % 3; edits > 0; --edits) {
            char c = alphabet[rng() % alphabet.size()];
            std::size_t at = s.empty() ? 0 : rng() % s.size();
            switch (rng() % 3) {
            case 0:
                if (!s.empty()) s[at] = c;
                break;
            case 1:
                s.insert(s.begin() + static_cast<long>(at), c);
                break;
            default:
                if (!s.empty()) s.erase(at, 1);
                break;
            }
        }
        lines.push_back(s);
    }
    for (const auto& s : lines) {
        auto hand = p.hand(s);
        EXPECT_EQ(hand ? std::optional<std::string>(*hand) : std::nullopt, by_regex(p.reference, s))
            << p.name << ": " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Intake, Matchers, testing::ValuesIn(patterns()), row_name{});

struct block_row {
    const char* name;
    std::string input;
    std::vector<request_info> want;  // every request parsed before the stop
};
const block_row block_rows[] = {
    {"CR LF", "GET / HTTP/1.1\r\n\r\n", {{"/", std::nullopt}}},
    {"end without blank line", "GET /a HTTP/1.1", {{"/a", std::nullopt}}},
    {"credential", "GET / HTTP/1.1\r\nAuthorization: Basic cm9vdDpwdw==\r\n\r\n", {{"/", "pw"}}},
    {"last accepted wins",
     "GET / HTTP/1.1\nAuthorization: Basic cm9vdDpvbmU=\nAuthorization: Basic "
     "cm9vdDp0d28=\nAuthorization: Basic dXNlcjp4\n\n",
     {{"/", "two"}}},
    {"empty password", "GET / HTTP/1.1\nAuthorization:  Basic cm9vdDo=\n\n", {{"/", ""}}},
    {"carriage return inside",
     "GET / HTTP/1.1\nAuthorization: Basic cm9v\rdDo=\n\n",
     {{"/", std::nullopt}}},
    {"line ends blocks",
     "GET /1 HTTP/1.1\n \t\nGET /2 HTTP/1.1\n\r\n\nGET /3 HTTP/1.1\n",
     {{"/1", std::nullopt}, {"/2", std::nullopt}}},
    {"stops at a rejected line",
     "GET /1 HTTP/1.1\n\nGET /2 HTTP/1.0\n\nGET /3 HTTP/1.1\n",
     {{"/1", std::nullopt}}},
    // A body is never read, so a request that declares one ends the service.
    {"zero lengths, any case",
     "GET /1 HTTP/1.1\ncontent-length: 0\n\nGET /2 HTTP/1.1\nContent-Length:  00\n\n",
     {{"/1", std::nullopt}, {"/2", std::nullopt}}},
    {"a length", "GET /1 HTTP/1.1\nContent-Length: 19\n\nGET /2 HTTP/1.1\n\n", {}},
    {"a length before the colon", "GET /1 HTTP/1.1\nContent-length : 5\n\nGET /2 HTTP/1.1\n\n", {}},
    {"a length that is no number", "GET /1 HTTP/1.1\nContent-Length: 0x0\n\n", {}},
    {"two lengths", "GET /1 HTTP/1.1\nContent-Length: 0\nContent-Length: 0\n\n", {}},
    {"chunked", "GET /1 HTTP/1.1\nTRANSFER-ENCODING: chunked\n\n0\n\n", {}},
    {"Content-Lengthy is no length",
     "GET /1 HTTP/1.1\nContent-Lengthy: 5\n\n",
     {{"/1", std::nullopt}}},
};
class Parser : public testing::TestWithParam<block_row> {};
TEST_P(Parser, Blocks) {
    const auto& c = GetParam();
    const int fd = ::memfd_create("input", MFD_CLOEXEC);
    ASSERT_EQ(::write(fd, c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    ::lseek(fd, 0, SEEK_SET);
    input in(fd);
    std::vector<request_info> got;
    while (auto r = parse_request(in)) got.push_back(*r);
    ::close(fd);
    ASSERT_EQ(got.size(), c.want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].path, c.want[i].path);
        EXPECT_EQ(got[i].auth, c.want[i].auth);
    }
}
INSTANTIATE_TEST_SUITE_P(Requests, Parser, testing::ValuesIn(block_rows), row_name{});
