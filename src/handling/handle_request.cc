#include "handling/handle_request.h"

#include "common/failure.h"
#include "common/gate.h"
#include "handling/allowed.h"
#include "handling/budget.h"
#include "handling/reader.h"
#include "handling/response.h"

text target_path(const text& path) {
    text target = "wwwroot/" + path;
    if (path.ends_with('/')) target += "index.html";
    return target;
}

namespace {

// An outcome, its response buffer (the head room, then the body), and the
// body's share of the budget, held until the response is written.
struct answer {
    outcome result;
    text buffer;
    share held;
};

// An answer with an empty body, which needs no buffer at all.
answer bare(outcome result) {
    return {result, {}, {}};
}

// Decides the request and reads the body of a permitted file.
answer decide(const request_info& request) {
    const text target = target_path(request.path);
    const reader file(target);
    auto decision = allowed(file, target, request.auth);
    if (!decision) return bare(outcome::not_found);
    if (!*decision) return bare(outcome::refused);
    if (file.is_directory()) return bare(outcome::permitted);
    share held(body_bytes(), head_room + file.size());
    if (auto body = file.get(head_room)) return {outcome::permitted, std::move(*body), std::move(held)};
    // Anything else that is not a whole regular file (a FIFO, a device, a file
    // that cannot be read, or held in memory) is not there for the client.
    return bare(outcome::not_found);
}

}  // namespace

void handle_request(request_info request) {
    // When memory is short, what the decision held is given back on the way
    // out, and the request is decided again.
    until_allocated([&] {
        // Taken before the first open, so every open this worker needs
        // succeeds, and held until the answer is written, so that a worker
        // that holds them alone knows that no other answer is still to come.
        const share files(descriptors(), worker_descriptors);
        answer reply = decide(request);
        send(compose(reply.buffer, reply.result));
    });
}
