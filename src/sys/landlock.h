#pragma once
// The kernel's fence on the filesystem (Landlock): a set of rules, each
// allowing some rights beneath a folder, then enforced on the process.
#include <cstdint>
#include <string>
#include <vector>

// Rights beneath a folder: reading files, listing folders; or every right
// that the kernel's version knows.
inline constexpr std::uint64_t read_files = 1 << 2, read_folders = 1 << 3;
inline constexpr std::uint64_t every_right = ~std::uint64_t{0};

// What became of a rule: added, nothing there to allow, or refused.
enum class rule { added, missing, failed };

// Rules under the newest version that the kernel offers; of its network
// rights and scopes, none is allowed. Without Landlock it does nothing.
class landlock {
public:
    landlock();
    landlock(const landlock&) = delete;
    landlock& operator=(const landlock&) = delete;
    ~landlock();

    // Allows rights beneath what path names (followed if it is a link).
    rule allow(const char* path, std::uint64_t rights);

    // Restricts the process, and every thread it starts later, to the rules;
    // left as it was when any rule was refused, rather than refuse the site.
    void enforce();

private:
    int ruleset = -1;
    std::uint64_t known = 0;  // the filesystem rights that the version knows
    bool whole = true;
};

// The folders that reading path passes through links in: the folder of every
// link on the way, and the folder of the file it ends at. Swapping any of
// those links, as a rotated secret does, leads to a file still beneath one.
std::vector<std::string> link_folders(const std::string& path);
