// The bytes of request bodies that may be held at once, across connections,
// and the bodies that hold them.
//
// A body takes its declared length (a chunked body, what its chunks have
// announced) before any of it is read, so that a body once admitted is never
// refused halfway. A claim alone must not be enough to keep that room: a
// body keeps its place only while it keeps the pace of BodyPaceRule, one
// remote address holds at most a share of the budget, and a newcomer that
// does not fit cuts bodies that have stalled, slowest first. It is answered
// busy only when every body held keeps the pace (connection_rules.h has the
// rules; this class keeps the books under one lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "service/connection_rules.h"

class BudgetHolder;

class BodyBudget {
public:
    using Clock = std::function<std::uint64_t()>;  // milliseconds on one steady counter

    // A share of 0 means the whole budget. Without a clock, the steady clock.
    explicit BodyBudget(std::size_t totalBytes, std::size_t shareBytes = 0, BodyPaceRule rule = BodyPaceRule(),
                        Clock clock = Clock());
    BodyBudget(const BodyBudget&) = delete;
    BodyBudget& operator=(const BodyBudget&) = delete;

    std::size_t inUse() const;
    const BodyPaceRule& rule() const { return rule_; }
    std::uint64_t Now() const { return clock_(); }

private:
    friend class BudgetHolder;
    bool Grow(BudgetHolder& holder, std::size_t wanted);
    bool MarkWhole(BudgetHolder& holder);
    void Enter(BudgetHolder& holder);
    void Leave(BudgetHolder& holder);

    mutable std::mutex lock_;
    const std::size_t total_;
    const std::size_t share_;
    const BodyPaceRule rule_;
    const Clock clock_;
    std::size_t used_ = 0;
    std::vector<BudgetHolder*> holders_;  // under lock_
};

// One body's place in the budget, for as long as it lives: it gives back all
// it holds when it ends. `pace` tells how its body is coming along; `cut` is
// called (under the budget's lock, so it must only signal) when the body
// loses its place to make room, after which it holds nothing and can take
// nothing more.
class BudgetHolder {
public:
    using PaceReader = std::function<BodyPace()>;
    using CutNotice = std::function<void()>;

    // Without a pace the body always counts as keeping it, and cannot be cut.
    explicit BudgetHolder(BodyBudget& budget, std::uint32_t address = 0, PaceReader pace = PaceReader(),
                          CutNotice cut = CutNotice());
    ~BudgetHolder();
    BudgetHolder(const BudgetHolder&) = delete;
    BudgetHolder& operator=(const BudgetHolder&) = delete;

    // Grows what this body holds to `bytes` in all, cutting stalled bodies to
    // make room where that is enough. False when it does not fit, or when the
    // body has been cut; nothing changes then.
    [[nodiscard]] bool GrowTo(std::size_t bytes) { return budget_.Grow(*this, bytes); }
    // The body is whole and about to be handled: from now on it is never cut.
    // False when it was cut first.
    [[nodiscard]] bool MarkWhole() { return budget_.MarkWhole(*this); }
    std::size_t taken() const;
    bool wasCut() const;

private:
    friend class BodyBudget;
    BodyBudget& budget_;
    const std::uint32_t address_;
    const PaceReader pace_;
    const CutNotice cut_;
    std::size_t taken_ = 0;  // under the budget's lock, as are the two below
    bool whole_ = false;
    bool cutOff_ = false;
};
