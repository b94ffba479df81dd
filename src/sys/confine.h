#pragma once
// The process's own fence: once confined, even a fault in the server cannot
// reach beyond reading its site.
#include "sys/layer.h"

// The exit status of a server whose confinement the kernel refused: it ends
// before it reads a request, and an activator's log shows why.
inline constexpr int confinement_refused = 71;

// Confines the process, with every thread it starts later: no new privileges;
// read access beneath the served root (the working directory while "wwwroot"
// is missing), to files beneath the working directory and beneath the
// folders that the password file's links pass through, and no other
// filesystem access; only the system calls that the server makes, with
// their arguments checked where they could reach beyond the process. A call
// on no list fails with ENOSYS, a refused argument with EPERM, and neither
// ends the process. A layer that the kernel lacks is left out; refused when
// the kernel refused any layer, and then the process must not serve.
layer confine();
