/*
 * Counting refused requests, so that an operator looking at the panel can see
 * that an editor is trying and failing (a wrong key, a clock far off) without
 * one line per request.
 *
 * Refusals are counted by reason and by peer address since the last summary;
 * a summary is due at most once per kSummaryIntervalSeconds, and only when
 * something was refused since the last one. The caller asks after each
 * refusal and now and then from a timer, so the refusals of a flood's last
 * minute are told too. No socket and no clock: times are passed in.
 *
 * Whatever a flood sends, the tally holds at most kMaxReasons reasons with
 * kMaxPeersPerReason addresses each (further addresses only count), and it
 * writes at most one line a minute.
 */
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "common/text.h"

class RefusalTally {
public:
    // At most one summary per this many seconds while refusals continue.
    static constexpr std::int64_t kSummaryIntervalSeconds = 60;
    // The router's refusal texts are a handful; more would be a fault, and are
    // counted under the last reason kept.
    static constexpr std::size_t kMaxReasons = 8;
    // Enough to name the usual one or two editors; a flood from many
    // addresses is told as "N 个以上地址".
    static constexpr std::size_t kMaxPeersPerReason = 16;

    // `peer` is an IPv4 address in host order (0 when unknown).
    void Record(const WString& reason, std::uint32_t peer);
    // The summary line when one is due at `now` (seconds), which also starts a
    // new count; nothing when nothing was refused or the last summary is less
    // than a minute old.
    std::optional<WString> TakeDueSummary(std::int64_t now);

private:
    struct PeerCount {
        std::uint32_t address = 0;
        std::uint64_t count = 0;
    };
    struct ReasonCount {
        WString reason;
        std::uint64_t count = 0;
        std::vector<PeerCount> peers;
        bool morePeers = false;  // an address beyond kMaxPeersPerReason came
    };

    std::mutex lock_;
    std::vector<ReasonCount> reasons_;  // guarded by lock_
    std::uint64_t total_ = 0;
    bool summarized_ = false;
    std::int64_t lastSummary_ = 0;
};

// "203.0.113.7" for an address in host order.
WString Ipv4Text(std::uint32_t address);
// The advice that ends a summary for its most frequent reason.
WString RefusalAdvice(const WString& reason);
