#include "intake/parse_request.h"

#include "intake/credentials.h"
#include "intake/framing.h"
#include "intake/line.h"
#include "intake/request_line.h"
#include "sys/failure.h"

std::optional<request_info> parse_request(input& in) {
    auto first = read_line(in);
    if (!first || (!first->overlong && first->content.empty())) return std::nullopt;
    auto target = first->overlong ? std::nullopt : match_request_line(first->content);
    // A request line not accepted stops the service, so the rest of its
    // block is never needed and is not waited for.
    if (!target) return std::nullopt;
    auto request = until_allocated([&] { return request_info{text(*target), std::nullopt}; });
    // Header lines are handled as they arrive, so a block of any length
    // takes no more memory than one line.
    int lengths = 0;
    while (auto header = read_line(in)) {
        // A body is never read, so a request that has one is not accepted:
        // its bytes would be taken for requests, and answered.
        const framing f = framing_of(header->content);
        if (f == framing::body || (f == framing::empty && (header->overlong || ++lengths > 1)))
            return std::nullopt;
        if (header->overlong) continue;
        if (header->content.empty()) break;
        until_allocated([&] { credential_rule(header->content, request); });
    }
    return request;
}
