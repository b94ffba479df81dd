#pragma once
// The kernel's fence on the filesystem (Landlock): a set of rules, each
// allowing some rights beneath a folder, then enforced on the process.
#include <cstdint>
#include <string>
#include <vector>

#include "sys/layer.h"

// Rights beneath a folder: reading files, listing folders; or every right
// that the kernel's version knows.
inline constexpr std::uint64_t read_files = 1 << 2, read_folders = 1 << 3;
inline constexpr std::uint64_t every_right = ~std::uint64_t{0};

// What became of a rule: added, nothing there to allow, or refused.
enum class rule { added, missing, refused };

// Rules under the newest version that the kernel offers; of its network
// rights and scopes, none is allowed. Without Landlock it does nothing. A
// shortage (of memory, of descriptors) is waited out as at start.
class landlock {
public:
    // Makes the set of rules; lacking where the kernel has no Landlock
    // (ENOSYS, EOPNOTSUPP, a version below 1), refused on any other failure.
    landlock();
    landlock(const landlock&) = delete;
    landlock& operator=(const landlock&) = delete;
    ~landlock();

    // In force until the set or a rule is refused; lacking without Landlock.
    layer state() const { return now; }

    // Allows rights beneath what path names (followed if it is a link). A
    // path that is not there (ENOENT, ENOTDIR, EACCES, ELOOP) needs no rule;
    // any other failure refuses the whole fence.
    rule allow(const char* path, std::uint64_t rights);

    // Restricts the calling thread, and every thread it starts later, to the
    // rules. Never a fence with a rule missing, nor none where one was asked
    // for: refused when the set or any rule was.
    layer enforce();

private:
    int ruleset = -1;
    std::uint64_t known = 0;  // the filesystem rights that the version knows
    layer now = layer::in_force;
};

// The folders that reading path passes through links in: the folder of every
// link on the way, and the folder of the file it ends at. Swapping any of
// those links, as a rotated secret does, leads to a file still beneath one.
std::vector<std::string> link_folders(const std::string& path);
