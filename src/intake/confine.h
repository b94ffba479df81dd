#pragma once
// The process's own fence: once confined, even a fault in the server cannot
// reach beyond reading its site.

// Confines the process, with every thread it starts later: no new privileges;
// read access beneath the served root (the working directory while "wwwroot"
// is missing) and to the password file, and no other filesystem access; no
// programs, processes, sockets, mounts, tracing, identity changes, signals
// to others or terminal input. A refused call fails with EPERM and never ends
// the process. What the kernel does not offer is left out, silently.
void confine();
