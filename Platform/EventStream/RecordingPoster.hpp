#pragma once

#include "Platform/EventStream/EventPoster.hpp"

#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace quillon::platform {

// A poster that keeps every posted event in order instead of handing it to a platform. Used by
// tests (exact event sequences) and benchmarks. A refusal predicate makes chosen events "fail
// to be created", so the sink's skipping rules can be exercised. Thread-safe: the injector's
// thread and the momentum queue may post concurrently.
class RecordingPoster : public EventPoster {
public:
    using Refusal = std::function<bool(const Event&)>;

    RecordingPoster() = default;
    explicit RecordingPoster(Refusal refusal) : refusal_(std::move(refusal)) {}

    // True makes canCreate() answer false for that event. An empty predicate refuses nothing.
    void setRefusal(Refusal refusal);

    bool canCreate(const Event& event) override;
    // Records the event, then asks for a flush: at once outside an EventBatch, at the end of
    // the batch inside one.
    void post(const Event& event) override;
    void flush() override;

    // A copy of everything posted so far, in posting order.
    std::vector<Event> events() const;
    // Everything posted so far, leaving the record empty.
    std::vector<Event> take();
    std::size_t count() const;
    std::size_t flushCount() const;
    // How often canCreate() said no.
    std::size_t refusedCount() const;
    // Forgets the recorded events but keeps the storage (benchmarks reuse it without
    // allocating).
    void clear();
    void reserve(std::size_t events);

private:
    mutable std::mutex mutex_;
    Refusal refusal_;
    std::vector<Event> events_;
    std::size_t flushes_ = 0;
    std::size_t refused_ = 0;
};

} // namespace quillon::platform
