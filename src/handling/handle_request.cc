#include "handling/handle_request.h"

#include <new>

#include "handling/allowed.h"
#include "handling/reader.h"
#include "handling/response.h"

text target_path(const text& path) {
    text target = "wwwroot/" + path;
    if (path.ends_with('/')) target += "index.html";
    return target;
}

namespace {

// An outcome and its response buffer: the head room, then the body.
struct answer {
    outcome result;
    text buffer;
};

// An answer with an empty body: only the room for the head.
answer bare(outcome result) {
    return {result, text(head_room, '\0')};
}

// Decides the request and reads the body of a permitted file.
answer decide(const request_info& request) {
    const text target = target_path(request.path);
    const reader file(target);
    auto decision = allowed(file, target, request.auth);
    if (!decision) return bare(outcome::not_found);
    if (!*decision) return bare(outcome::refused);
    if (auto body = file.get(head_room)) return {outcome::permitted, std::move(*body)};
    // A directory is answered with an empty body. Anything else that is not a
    // whole regular file (a FIFO, a device, a file that cannot be opened or
    // read to its end) is not there for the client.
    if (file.is_directory()) return bare(outcome::permitted);
    return bare(outcome::not_found);
}

}  // namespace

void handle_request(request_info request) {
    answer reply{outcome::not_found, {}};
    try {
        reply = decide(request);
    } catch (const std::bad_alloc&) {
        // A body too large for memory is not served; the other workers go on.
        reply = bare(outcome::not_found);
    }
    send(compose(reply.buffer, reply.result));
}
