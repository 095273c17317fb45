// Answer framing. Every answer carries exactly these five headers in this
// order, and nothing else (not even for a pre-flight OPTIONS request).
#include "service/http_response.h"

#include "json/json.h"

const char* ReasonPhrase(int status) {
    switch (status) {
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 413: return "Payload Too Large";
        case 503: return "Service Unavailable";
        default: return "OK";
    }
}

std::string BuildResponseBytes(int status, const std::string& body) {
    std::string out;
    out.reserve(160 + body.size());
    out += "HTTP/1.1 ";
    out += std::to_string(status);
    out += ' ';
    out += ReasonPhrase(status);
    out += "\r\n"
           "Content-Type: application/json; charset=utf-8\r\n"
           "Access-Control-Allow-Origin: *\r\n"
           "Content-Length: ";
    out += std::to_string(body.size());
    out += "\r\n"
           "Connection: close\r\n"
           "Server: TZ62Editorsync/1.0\r\n"
           "\r\n";
    out += body;
    return out;
}

ApiResponse FailureResponse(int status, const WString& message) {
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(false));
    SetMember(answer, WTEXT("message"), JsonValue::MakeString(message));
    return ApiResponse{status, SerializeJson(answer)};
}

const char* ContinueBytes() { return "HTTP/1.1 100 Continue\r\n\r\n"; }
