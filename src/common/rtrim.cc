#include "common/rtrim.h"

text rtrim(text s) {
    auto end = s.size();
    while (end > 0 && is_space(s[end - 1])) --end;
    s.resize(end);
    return s;
}
