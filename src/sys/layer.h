#pragma once

// What became of one layer of the process's fence: in force; lacking, as the
// kernel has no such thing, and left out; or refused by a kernel that has
// it, and then the process must not serve.
enum class layer { in_force, lacking, refused };
