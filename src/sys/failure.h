#pragma once
// What a failed system call or allocation means for a request, decided here
// and nowhere else: wait and try again, answer that the file is not there, or
// end quietly because the client is gone.
//
// Who waits, for what, and what ends it:
// - room for a body or a descriptor that other requests hold: in line, in
//   request order, woken by the give that lets the head in; no timer, since
//   every holder goes on (server/budget.h, server/answer_order.h);
// - what only the outside can end (memory the kernel refuses; a descriptor
//   missing though the request holds its share, held by the activator's
//   library; a group without room, or whose lock another process holds):
//   looked at again every pause_briefly, for at most the stall limit, then
//   nothing more is answered;
// - a shortage before the first request: every pause_briefly for at most
//   start_patience, then the server stops (confinement_refused);
// - a stream: at once after an interruption, else until it is ready,
//   within the idle limit (input) or the stall limit (output on a socket);
// - a leaf's call cut short or refused memory (persist, until_allocated):
//   every pause_briefly, for as long as the kernel refuses.
#include <cerrno>
#include <chrono>
#include <new>
#include <type_traits>

enum class failure { not_now, not_there, gone };

// Where a call failed: on a served or password file, or on a standard stream.
enum class on { file, stream };

// The class of errno value error for a call made on the given kind of descriptor.
failure classify(int error, on where);

// How a call that failed for now is waited out: tried again at once (it was
// interrupted), once its descriptor is ready (it would have blocked), or
// after a pause (something was short).
enum class retry { at_once, when_ready, after_pause };
retry how_to_retry(int error);

// True when error says that the process has no descriptor left.
bool out_of_descriptors(int error);

// The one rhythm of looking again at what the kernel or another process
// holds, which announces nothing: 1 ms.
void pause_briefly();

// How long a shortage before the first request is waited out: then nothing
// in the process holds what is short, so only the host can end it, and it
// announces nothing; what lasts longer is taken as the host's answer.
inline constexpr std::chrono::seconds start_patience{1};

// Makes call (a system call's wrapper: -1 with errno on failure) until it
// succeeds, fails for a reason other than a shortage, or a shortage has
// lasted start_patience; returns its last result, with errno as it left it.
template <class Call>
long at_start(Call call) {
    const auto since = std::chrono::steady_clock::now();
    for (;;) {
        const long result = call();
        if (result != -1 || classify(errno, on::file) != failure::not_now ||
            std::chrono::steady_clock::now() - since >= start_patience)
            return result;
        pause_briefly();
    }
}

// Makes call until it succeeds or fails for a reason other than a passing
// shortage, and returns its last result; failure is -1 or a null pointer,
// with errno set.
template <class Call>
auto persist(Call call) {
    for (;;) {
        auto result = call();
        bool failed;
        if constexpr (std::is_pointer_v<decltype(result)>)
            failed = result == nullptr;
        else
            failed = result == -1;
        if (!failed || classify(errno, on::file) != failure::not_now) return result;
        pause_briefly();
    }
}

// Returns make(), waiting out a shortage of memory for as long as it lasts.
// What make does must be safe to do again after it threw.
template <class Make>
auto until_allocated(Make make) {
    for (;;) {
        try {
            return make();
        } catch (const std::bad_alloc&) {
            pause_briefly();
        }
    }
}

// True when make() ran without memory running short; false when it threw
// for want of memory, and what it does must be safe to do again.
template <class Make>
bool allocated(Make make) {
    try {
        make();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
