// One request, one answer over TCP: connect, send everything, read until the
// peer closes. Bounded by a time-out on every step.
#pragma once

#include <string>

[[nodiscard]] bool ExchangeOverTcp(const std::string& host, int port, const std::string& request,
                                   std::string& answer, int timeoutMs, std::string& error);
