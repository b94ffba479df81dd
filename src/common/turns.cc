#include "common/turns.h"

void turns::wait(std::size_t n) {
    while (open[n].load(std::memory_order_acquire) == 0) open[n].wait(0, std::memory_order_acquire);
}

void turns::pass(std::size_t n) {
    open[n + 1].store(1, std::memory_order_release);
    open[n + 1].notify_one();
}
