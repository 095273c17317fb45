// The body budget's books; the rules it applies are in connection_rules.cpp.
#include "service/body_budget.h"

#include <algorithm>
#include <chrono>

namespace {

std::uint64_t SteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

BodyBudget::BodyBudget(std::size_t totalBytes, std::size_t shareBytes, BodyPaceRule rule, Clock clock)
    : total_(totalBytes),
      share_(shareBytes == 0 ? totalBytes : std::min(shareBytes, totalBytes)),
      rule_(rule),
      clock_(clock ? std::move(clock) : Clock(SteadyMs)) {}

std::size_t BodyBudget::inUse() const {
    std::lock_guard<std::mutex> guard(lock_);
    return used_;
}

void BodyBudget::Enter(BudgetHolder& holder) {
    std::lock_guard<std::mutex> guard(lock_);
    holders_.push_back(&holder);
}

void BodyBudget::Leave(BudgetHolder& holder) {
    std::lock_guard<std::mutex> guard(lock_);
    used_ -= std::min(holder.taken_, used_);
    holder.taken_ = 0;
    holders_.erase(std::remove(holders_.begin(), holders_.end(), &holder), holders_.end());
}

bool BodyBudget::Grow(BudgetHolder& holder, std::size_t wanted) {
    std::lock_guard<std::mutex> guard(lock_);
    if (holder.cutOff_) return false;
    if (wanted <= holder.taken_) return true;

    const std::uint64_t now = clock_();
    std::vector<BodyHolderView> views;
    views.reserve(holders_.size());
    std::size_t asker = 0;
    for (std::size_t i = 0; i < holders_.size(); ++i) {
        const BudgetHolder& h = *holders_[i];
        if (&h == &holder) asker = i;
        views.push_back(BodyHolderView{h.address_, h.taken_, h.pace_ ? h.pace_() : BodyPace(), h.whole_});
    }
    const BodyRoomPlan plan = PlanBodyRoom(views, asker, wanted, total_, share_, rule_, now);
    if (!plan.admit) return false;
    for (std::size_t i : plan.cut) {
        BudgetHolder& victim = *holders_[i];
        used_ -= victim.taken_;
        victim.taken_ = 0;
        victim.cutOff_ = true;
        if (victim.cut_) victim.cut_();
    }
    used_ += wanted - holder.taken_;
    holder.taken_ = wanted;
    return true;
}

bool BodyBudget::MarkWhole(BudgetHolder& holder) {
    std::lock_guard<std::mutex> guard(lock_);
    if (holder.cutOff_) return false;
    holder.whole_ = true;
    return true;
}

BudgetHolder::BudgetHolder(BodyBudget& budget, std::uint32_t address, PaceReader pace, CutNotice cut)
    : budget_(budget), address_(address), pace_(std::move(pace)), cut_(std::move(cut)) {
    budget_.Enter(*this);
}

BudgetHolder::~BudgetHolder() { budget_.Leave(*this); }

std::size_t BudgetHolder::taken() const {
    std::lock_guard<std::mutex> guard(budget_.lock_);
    return taken_;
}

bool BudgetHolder::wasCut() const {
    std::lock_guard<std::mutex> guard(budget_.lock_);
    return cutOff_;
}
