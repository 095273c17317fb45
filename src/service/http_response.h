// The one answer format: a status line, five fixed headers, a JSON body.
#pragma once

#include <string>

#include "common/text.h"

struct ApiResponse {
    int status = 200;
    std::string body;  // compact JSON text, or empty
};

// "OK" for every status the API does not name otherwise.
const char* ReasonPhrase(int status);

// The whole answer as it goes on the wire; Content-Length counts body bytes.
std::string BuildResponseBytes(int status, const std::string& body);

// The interim answer to a peer that waits, by "Expect: 100-continue", for
// leave to send its body.
const char* ContinueBytes();

// {"success":false,"message":...} with the given status.
ApiResponse FailureResponse(int status, const WString& message);
