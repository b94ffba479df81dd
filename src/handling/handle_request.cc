#include "handling/handle_request.h"

#include <optional>

#include "common/fixed.h"
#include "common/gate.h"
#include "handling/allowed.h"
#include "handling/answers.h"
#include "handling/budget.h"
#include "handling/reader.h"
#include "sys/failure.h"

text target_path(const text& path) {
    text target = root_folder;
    target += '/';
    target += path;
    if (path.ends_with('/')) target += "index.html";
    return target;
}

namespace {

// Decides request number and reads the body of a permitted file.
answer decide(const request_info& request, std::size_t number, budgets& shared) {
    // Taken before the first open, so that every open this worker needs
    // succeeds, and given back once the body is read: a worker that waits for
    // its turn to write holds no descriptor that an earlier one needs.
    const share files(shared.descriptors, number, worker_descriptors);
    const for_request who{number, shared};
    std::optional<reader> file;
    std::optional<bool> decision;
    // When memory is short, what the decision held is given back, and it is
    // made again; the shares stay, so that no later request takes them.
    until_allocated([&] {
        file.reset();
        const text target = target_path(request.path);
        file.emplace(target, who);
        decision = allowed(*file, target, request.auth, who);
    });
    const bool body = decision && *decision && !file->is_directory();
    const bool holdable = body && file->holdable(head_room);
    text buffer;
    // The body's memory is taken in the same turn as its share of the
    // budget: no later body then holds memory that an earlier one needs.
    share held(shared.bodies, number, holdable ? head_room + file->size() : 0, [&] {
        return !holdable || allocated([&] { buffer.assign(head_room + file->size(), '\0'); });
    });
    if (!decision) return {outcome::not_found, {}, {}};
    if (!*decision) return {outcome::refused, {}, {}};
    if (!body) return {outcome::permitted, {}, {}};
    if (holdable && file->read(buffer, head_room))
        return {outcome::permitted, std::move(buffer), std::move(held)};
    // Anything else that is not a whole regular file (a FIFO, a device, a file
    // that cannot be read, or held in memory) is not there for the client.
    return {outcome::not_found, {}, {}};
}

}  // namespace

void handle_request(request_info request, std::size_t number, budgets& shared) {
    send(decide(request, number, shared), number);
}
