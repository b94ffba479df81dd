#pragma once
#include "common/text.h"

// Lenient Base64: returns the decoded bytes, or nothing when the length is not
// a multiple of 4 or the padding (from the first "=" to the end) exceeds them.
// Characters outside the alphabet count as 63 and "=" as 0.
optional_text b64decode(text in);
