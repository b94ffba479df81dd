#pragma once
#include "intake/request_info.h"

// Starts a detached worker that answers the request, retrying at once for as
// long as the platform refuses the thread.
void dispatch(const request_info& request);

// Returns once every started worker has written and flushed its response.
void wait_for_workers();
