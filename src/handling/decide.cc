#include "handling/decide.h"

#include "common/fixed.h"
#include "handling/allowed.h"

text target_path(const text& path) {
    text target = root_folder;
    target += '/';
    target += path;
    if (path.ends_with('/')) target += "index.html";
    return target;
}

std::optional<outcome> decide(const request_info& request, std::optional<reader>& file) {
    file.reset();
    const text target = target_path(request.path);
    file.emplace(target);
    const auto result = allowed(*file, target, request.auth);
    if (result == outcome::permitted && !file->is_directory() && !file->size())
        return outcome::not_found;
    return result;
}
