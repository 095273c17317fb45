// Counting refused requests by reason and address; see refusal_tally.h.
#include "service/refusal_tally.h"

#include <algorithm>
#include <string>

namespace {

WString Number(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    return WString(digits.begin(), digits.end());
}

// "签名验证失败 ×12（来自 203.0.113.7）", or "（来自 203.0.113.7 等 3 个地址）".
WString DescribeReason(const std::vector<std::pair<std::uint32_t, std::uint64_t>>& peers, bool morePeers,
                       const WString& reason, std::uint64_t count) {
    WString text = reason + WTEXT(" ×") + Number(count);
    if (peers.empty()) return text;
    const auto top = std::max_element(peers.begin(), peers.end(),
                                      [](const auto& a, const auto& b) { return a.second < b.second; });
    text += WTEXT("（来自 ") + Ipv4Text(top->first);
    if (morePeers) {
        text += WTEXT(" 等 ") + Number(peers.size()) + WTEXT(" 个以上地址");
    } else if (peers.size() > 1) {
        text += WTEXT(" 等 ") + Number(peers.size()) + WTEXT(" 个地址");
    }
    return text + WTEXT("）");
}

}  // namespace

WString Ipv4Text(std::uint32_t address) {
    return Number((address >> 24) & 0xFF) + WTEXT(".") + Number((address >> 16) & 0xFF) + WTEXT(".") +
           Number((address >> 8) & 0xFF) + WTEXT(".") + Number(address & 0xFF);
}

WString RefusalAdvice(const WString& reason) {
    if (reason == WTEXT("签名验证失败")) return WTEXT("请核对编辑器中的密钥");
    if (reason == WTEXT("请求已过期")) return WTEXT("请核对两台电脑的时间");
    return WTEXT("请核对编辑器的设置");
}

void RefusalTally::Record(const WString& reason, std::uint32_t peer) {
    std::lock_guard<std::mutex> guard(lock_);
    auto entry = std::find_if(reasons_.begin(), reasons_.end(),
                              [&](const ReasonCount& item) { return item.reason == reason; });
    if (entry == reasons_.end()) {
        if (reasons_.size() < kMaxReasons) {
            reasons_.push_back(ReasonCount{reason, 0, {}, false});
        }
        entry = reasons_.end() - 1;
    }
    ++entry->count;
    ++total_;
    if (peer == 0) return;
    auto known = std::find_if(entry->peers.begin(), entry->peers.end(),
                              [&](const PeerCount& item) { return item.address == peer; });
    if (known != entry->peers.end()) {
        ++known->count;
    } else if (entry->peers.size() < kMaxPeersPerReason) {
        entry->peers.push_back(PeerCount{peer, 1});
    } else {
        entry->morePeers = true;
    }
}

std::optional<WString> RefusalTally::TakeDueSummary(std::int64_t now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (total_ == 0) return std::nullopt;
    // A clock set back counts as a minute gone rather than silencing the tally.
    if (summarized_ && now >= lastSummary_ && now - lastSummary_ < kSummaryIntervalSeconds) return std::nullopt;

    std::stable_sort(reasons_.begin(), reasons_.end(),
                     [](const ReasonCount& a, const ReasonCount& b) { return a.count > b.count; });
    WString line = WTEXT("最近 1 分钟拒绝了 ") + Number(total_) + WTEXT(" 个请求: ");
    for (std::size_t i = 0; i < reasons_.size(); ++i) {
        std::vector<std::pair<std::uint32_t, std::uint64_t>> peers;
        for (const PeerCount& peer : reasons_[i].peers) peers.emplace_back(peer.address, peer.count);
        if (i > 0) line += WTEXT("、");
        line += DescribeReason(peers, reasons_[i].morePeers, reasons_[i].reason, reasons_[i].count);
    }
    line += WTEXT("，") + RefusalAdvice(reasons_.front().reason);

    reasons_.clear();
    total_ = 0;
    summarized_ = true;
    lastSummary_ = now;
    return line;
}
