// One request, one answer over TCP: connect, send everything, read until the
// peer closes. Bounded by a time-out on every step and by kMaxAnswerBytes.
#pragma once

#include <cstddef>
#include <string>

// No answer of the service comes near this (the largest is a version list);
// a peer that sends more is not the service, and is not read further.
inline constexpr std::size_t kMaxAnswerBytes = 64 * 1024 * 1024;

[[nodiscard]] bool ExchangeOverTcp(const std::string& host, int port, const std::string& request,
                                   std::string& answer, int timeoutMs, std::string& error);
