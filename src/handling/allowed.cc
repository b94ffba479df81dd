#include "handling/allowed.h"

#include "handling/canonicalize.h"
#include "handling/secret.h"

namespace {

struct no_root {};

}  // namespace

bool inside(std::string_view path, std::string_view root) {
    if (!path.starts_with(root)) return false;
    return path.size() == root.size() || root.ends_with('/') || path[root.size()] == '/';
}

std::optional<std::string_view> served_root() {
    // An initialiser that throws leaves the value unset, so the next request
    // tries again; the first success is kept for the rest of the process.
    try {
        static const text root = [] {
            auto found = canonicalize("wwwroot");
            if (!found) throw no_root{};
            return *found;
        }();
        return root;
    } catch (const no_root&) {
        return std::nullopt;
    }
}

std::optional<bool> allowed(const reader& file, const text& target,
                            const optional_text& password) {
    auto root = served_root();
    if (!root) return std::nullopt;
    auto resolved = file.opened() ? file.path() : canonicalize(target);
    if (!resolved) return std::nullopt;
    if (!inside(*resolved, *root)) return false;
    if (guarded(*resolved)) return secret_permits(password);
    return true;
}
