#include "handling/allowed.h"

#include <atomic>
#include <mutex>

#include "common/fixed.h"
#include "handling/canonicalize.h"
#include "handling/secret.h"

bool inside(std::string_view path, std::string_view root) {
    if (!path.starts_with(root)) return false;
    return path.size() == root.size() || root.ends_with('/') || path[root.size()] == '/';
}

std::optional<std::string_view> served_root() {
    // Looked for until it is found, then kept for the rest of the process.
    // Once found, the flag alone is read; the lock only orders the looking.
    static std::atomic<bool> found{false};
    static std::mutex looking;
    static text root;
    if (found.load(std::memory_order_acquire)) return root;
    std::lock_guard hold(looking);
    if (!found.load(std::memory_order_relaxed)) {
        auto canonical = canonicalize(root_folder);
        if (!canonical) return std::nullopt;
        root = std::move(*canonical);
        found.store(true, std::memory_order_release);
    }
    return root;
}

decision allowed(const reader& file, const text& target, const optional_text& password,
                 std::size_t held) {
    if (file.out_of_descriptors()) return undecided::no_descriptor;
    auto root = served_root();
    if (!root) return outcome::not_found;
    auto resolved = file.opened() ? canonical_path(file.descriptor()) : canonicalize(target);
    if (!resolved) return outcome::not_found;
    if (!inside(*resolved, *root)) return outcome::refused;
    if (!guarded(*resolved)) return outcome::permitted;
    // Without a password the file is not read.
    if (password && held < guarded_descriptors) return undecided::needs_guarded;
    if (const auto permits = secret_permits(password)) return *permits;
    return undecided::no_descriptor;
}
