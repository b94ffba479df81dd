#include "handling/decide.h"

#include "common/fixed.h"

text target_path(const text& path) {
    text target = root_folder;
    target += '/';
    target += path;
    if (path.ends_with('/')) target += "index.html";
    return target;
}

decision decide(const request_info& request, std::optional<reader>& file, std::size_t held) {
    file.reset();
    const text target = target_path(request.path);
    file.emplace(target);
    const auto result = allowed(*file, target, request.auth, held);
    if (result == decision(outcome::permitted) && !file->is_directory() && !file->size())
        return outcome::not_found;
    return result;
}
