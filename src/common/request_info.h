#pragma once
#include "common/text.h"

// One parsed request: the target exactly as written, and the password of
// user "root" from the last accepted credential header, if any.
struct request_info {
    text path;
    optional_text auth;
};
