#pragma once
// How a list of permitted calls becomes the filter's instructions: a search
// over call numbers, then for some calls a look at their arguments. Made when
// the server is compiled; included by seccomp.h, not used on its own.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "sys/test_builds.h"

namespace call_filter {

#if defined(__x86_64__)
constexpr std::uint32_t this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t this_arch = AUDIT_ARCH_AARCH64;
#else
#error "stdhttpd's list of permitted calls is written for x86-64 and aarch64 only"
#endif

constexpr std::uint32_t allow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t refuse = SECCOMP_RET_ERRNO | EPERM;
// Calls on no list fail as the calls of an older kernel do, so that the C
// library falls back to one that is listed (clone3 to clone).
constexpr std::uint32_t unknown = SECCOMP_RET_ERRNO | ENOSYS;
// Stands for the process's own number until the filter is installed: no
// process has it, and no other comparison uses it.
constexpr std::uint32_t own_process = UINT32_MAX;

constexpr std::uint32_t new_namespaces = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                         CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID |
                                         CLONE_NEWNET | CLONE_NEWTIME;

using program = std::vector<sock_filter>;

constexpr sock_filter op(std::uint16_t code, std::uint32_t k, std::uint8_t jt = 0,
                         std::uint8_t jf = 0) {
    return {code, jt, jf, k};
}

// Instructions whose jumps name where they lead: a label placed in the
// block, or next, the instruction after the jump.
class block {
public:
    static constexpr std::string_view next = "next";

    // Loads the word at offset of the call's data.
    constexpr block& load(std::size_t offset) {
        return put(op(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offset)));
    }
    // Loads an argument's low word, or its high one.
    constexpr block& load_arg(int arg, bool high = false) {
        return load(offsetof(seccomp_data, args) + 8 * arg + (high ? 4 : 0));
    }
    // Jumps to yes when the loaded word passes test (BPF_JEQ, BPF_JSET) against k, else to no.
    constexpr block& jump(std::uint16_t test, std::uint32_t k, std::string_view yes,
                          std::string_view no) {
        jumps.push_back({p.size(), yes, no});
        return put(op(BPF_JMP | test | BPF_K, k));
    }
    constexpr block& label(std::string_view name) {
        labels.push_back({name, p.size()});
        return *this;
    }
    constexpr block& give(std::uint32_t action) { return put(op(BPF_RET | BPF_K, action)); }
    // The two ends that argument checks jump to: "refused", then "allowed".
    constexpr block& ends() { return label("refused").give(refuse).label("allowed").give(allow); }

    // The instructions, every jump resolved.
    constexpr program done() {
        for (const auto& j : jumps) {
            p[j.at].jt = offset(j.at, j.yes);
            p[j.at].jf = offset(j.at, j.no);
        }
        return p;
    }

private:
    constexpr block& put(sock_filter f) {
        p.push_back(f);
        return *this;
    }
    constexpr std::uint8_t offset(std::size_t at, std::string_view to) const {
        if (to == next) return 0;
        const auto l = std::find_if(labels.begin(), labels.end(),
                                    [&](const auto& named) { return named.first == to; });
        // A jump leads forward, 255 instructions at most.
        if (l == labels.end() || l->second <= at || l->second - at - 1 > 255) std::abort();
        return static_cast<std::uint8_t>(l->second - at - 1);
    }

    struct pending {
        std::size_t at;
        std::string_view yes, no;
    };
    program p;
    std::vector<pending> jumps;
    std::vector<std::pair<std::string_view, std::size_t>> labels;
};

// The instructions that decide on a call whose number is known: only the
// calls that need it look at their arguments.
constexpr program decision(check how) {
    switch (how) {
    case check::allow:
        return block().give(allow).done();
    case check::thread_only:
        // The leak checker's own process is cloned without CLONE_THREAD.
        if (leak_checker)
            return block()
                .load_arg(0)
                .jump(BPF_JSET, new_namespaces, "refused", "allowed")
                .ends()
                .done();
        return block()
            .load_arg(0)
            .jump(BPF_JSET, new_namespaces, "refused", block::next)
            .jump(BPF_JSET, CLONE_THREAD, "allowed", "refused")
            .ends()
            .done();
    case check::self_only:
        return block()
            .load_arg(0)
            .jump(BPF_JEQ, own_process, "allowed", "refused")
            .label("allowed")
            .give(allow)
            .label("refused")
            .give(refuse)
            .done();
    case check::read_own_limit:
        // pid 0 or our own, and no new limit.
        return block()
            .load_arg(0)
            .jump(BPF_JEQ, 0, "own", block::next)
            .jump(BPF_JEQ, own_process, "own", "refused")
            .label("own")
            .load_arg(2)
            .jump(BPF_JEQ, 0, block::next, "refused")
            .load_arg(2, true)
            .jump(BPF_JEQ, 0, "allowed", "refused")
            .ends()
            .done();
    }
    return block().give(refuse).done();
}

// Where a jump leads: one of the decisions after the search, or an instruction.
struct target {
    bool decision;
    std::size_t index;  // of the decision, or of the instruction
};

// Builds a search over regions of call numbers: region i runs from first[i]
// up to first[i + 1] and is decided by decisions[how[i]]. Each comparison
// halves the regions, so any number meets its decision in a handful of them,
// and the decisions are placed once, after the search.
class search_tree {
public:
    constexpr search_tree(program& into, const std::vector<std::uint32_t>& starts,
                          const std::vector<std::size_t>& decided)
        : p(into), first(starts), how(decided) {}

    // Appends the search (of two regions or more), then the decisions, and
    // resolves every jump.
    constexpr void build(const std::vector<program>& decisions) {
        emit(0, first.size());
        std::vector<std::size_t> starts;
        for (const auto& d : decisions) {
            starts.push_back(p.size());
            p.insert(p.end(), d.begin(), d.end());
        }
        for (const auto& [at, yes, to] : jumps) {
            const std::size_t offset = (to.decision ? starts[to.index] : to.index) - at - 1;
            if (offset > 255) std::abort();  // a jump reaches 255 instructions at most
            (yes ? p[at].jt : p[at].jf) = static_cast<std::uint8_t>(offset);
        }
    }

private:
    constexpr target emit(std::size_t from, std::size_t to) {
        if (to - from == 1) return {true, how[from]};
        const std::size_t mid = (from + to) / 2;
        const std::size_t at = p.size();
        p.push_back(op(BPF_JMP | BPF_JGE | BPF_K, first[mid]));
        jumps.push_back({at, false, emit(from, mid)});
        jumps.push_back({at, true, emit(mid, to)});
        return {false, at};
    }

    struct jump {
        std::size_t at;
        bool yes;
        target to;
    };

    program& p;
    const std::vector<std::uint32_t>& first;
    const std::vector<std::size_t>& how;
    std::vector<jump> jumps;
};

// Permits only the listed calls, with their arguments checked where a call
// could reach beyond the process; any other call fails with ENOSYS.
constexpr program allowlist(std::span<const permitted> calls) {
    std::vector<permitted> sorted(calls.begin(), calls.end());
    for (const long nr : test_build_calls) sorted.push_back({nr, check::allow});
    std::sort(sorted.begin(), sorted.end(), [](auto a, auto b) { return a.nr < b.nr; });
    // Decision 0 allows, 1 says unknown; each call with its arguments
    // checked has one of its own.
    std::vector<program> decisions = {block().give(allow).done(), block().give(unknown).done()};
    std::vector<std::uint32_t> first = {0};
    std::vector<std::size_t> how = {1};
    const auto region = [&](std::uint32_t from, std::size_t d) {
        if (first.back() == from)
            how.back() = d;
        else if (how.back() != d)
            first.push_back(from), how.push_back(d);
    };
    for (const auto& c : sorted) {
        const auto nr = static_cast<std::uint32_t>(c.nr);
        if (nr < first.back()) continue;  // listed twice
        std::size_t d = 0;
        if (c.how != check::allow) {
            d = decisions.size();
            decisions.push_back(decision(c.how));
        }
        region(nr, d);
        region(nr + 1, 1);
    }
    program p = block()
                    .load(offsetof(seccomp_data, arch))
                    // Calls of another architecture's table are all refused.
                    .jump(BPF_JEQ, this_arch, "this architecture", block::next)
                    .give(refuse)
                    .label("this architecture")
                    .load(offsetof(seccomp_data, nr))
                    .done();
    search_tree(p, first, how).build(decisions);
    return p;
}

}  // namespace call_filter

template <const auto& calls>
consteval auto compile_filter() {
    constexpr std::size_t size = call_filter::allowlist(calls).size();
    static_assert(size <= most_instructions, "the filter is longer than filter_calls copies");
    const auto program = call_filter::allowlist(calls);
    std::array<sock_filter, size> code{};
    std::copy(program.begin(), program.end(), code.begin());
    return code;
}
