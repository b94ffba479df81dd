# Builds for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); what it builds runs here under qemu-aarch64-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
