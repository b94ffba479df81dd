#pragma once
#include <string_view>

// What a header line says of a message body after its block: nothing, an
// empty one ("Content-Length: 0"), or one of some length (any other
// Content-Length, or a Transfer-Encoding of any value). Names match without
// regard to case.
enum class framing { none, empty, body };

framing framing_of(std::string_view line);
