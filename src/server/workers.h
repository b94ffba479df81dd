#pragma once
#include <pthread.h>

#include <cstddef>

#include "common/request_info.h"
#include "server/admission.h"

// Starts one detached worker per request, numbered in the order of the
// requests, and knows when all have finished.
class workers {
public:
    // Workers that share what main made, at most most_running at once.
    workers(ledger& shared, std::size_t most_running);
    workers(const workers&) = delete;
    workers& operator=(const workers&) = delete;
    ~workers();

    // Starts a detached worker that answers the request, once fewer than the
    // most are running (each waits only for earlier ones). A refused thread is
    // tried again once one of ours has finished; with none running, or when no
    // stack lets a thread start, the request is answered here instead.
    void dispatch(const request_info& request);

    // Answers the request on the calling thread, in its place in the order:
    // for the last request, a thread would only cost its start.
    void answer_here(const request_info& request);

    // Returns once every started worker has finished: every answer is then
    // written, by its worker or by one that wrote an earlier answer.
    void wait();

private:
    ledger& shared;
    const std::size_t most_running;
    pthread_attr_t attr;
    std::size_t stack;
    std::size_t dispatched = 0;
};
