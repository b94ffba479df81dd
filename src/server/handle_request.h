#pragma once
#include <cstddef>

#include "common/request_info.h"
#include "server/admission.h"

// Answers request number (numbered from 0 in the order the requests arrived)
// on standard output with 200, 401 or 404, after every earlier answer.
void handle_request(request_info request, std::size_t number, ledger& shared);

// Answers request number through an admission of its own: the worker's way,
// and the way of an answer decided again in its turn.
void answer_request(ledger& shared, request_info& request, std::size_t number);
