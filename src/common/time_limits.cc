#include "common/fixed.h"

#ifndef STDHTTPD_TIME_LIMIT_SECONDS
#define STDHTTPD_TIME_LIMIT_SECONDS 60
#endif

const std::chrono::seconds idle_limit{STDHTTPD_TIME_LIMIT_SECONDS};
const std::chrono::seconds stall_limit{STDHTTPD_TIME_LIMIT_SECONDS};
