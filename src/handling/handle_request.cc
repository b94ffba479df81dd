#include "handling/handle_request.h"

#include <new>
#include <tuple>

#include "handling/allowed.h"
#include "handling/reader.h"
#include "handling/response.h"

text target_path(const text& path) {
    text target = "wwwroot/" + path;
    if (path.ends_with('/')) target += "index.html";
    return target;
}

namespace {

// Returns the buffer of the response: the head room, then the body when permitted.
std::pair<outcome, text> answer(const request_info& request) {
    const text target = target_path(request.path);
    const reader file(target);
    auto decision = allowed(file, target, request.auth);
    if (!decision) return {outcome::not_found, text(head_room, '\0')};
    if (!*decision) return {outcome::refused, text(head_room, '\0')};
    switch (file.kind()) {
    case file_kind::directory:
        return {outcome::permitted, text(head_room, '\0')};
    case file_kind::regular:
        if (auto body = file.get(head_room)) return {outcome::permitted, std::move(*body)};
        break;
    default:
        break;
    }
    // Only whole regular files are served: a FIFO, a device, or a file that
    // cannot be opened or read to its end is not there for the client.
    return {outcome::not_found, text(head_room, '\0')};
}

}  // namespace

void handle_request(request_info request) {
    outcome result = outcome::not_found;
    text buffer;
    try {
        std::tie(result, buffer) = answer(request);
    } catch (const std::bad_alloc&) {
        // A body too large for memory is not served; the other workers go on.
        result = outcome::not_found;
        buffer.assign(head_room, '\0');
    }
    send(compose(buffer, result));
}
