#include "Platform/EventStream/RecordingPoster.hpp"

namespace quillon::platform {

void RecordingPoster::setRefusal(Refusal refusal) {
    std::lock_guard lock(mutex_);
    refusal_ = std::move(refusal);
}

bool RecordingPoster::canCreate(const Event& event) {
    std::lock_guard lock(mutex_);
    if (refusal_ && refusal_(event)) {
        ++refused_;
        return false;
    }
    return true;
}

void RecordingPoster::post(const Event& event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    // Outside the lock: flushLater() may call flush() at once.
    EventBatch::flushLater(this);
}

void RecordingPoster::flush() {
    std::lock_guard lock(mutex_);
    ++flushes_;
}

std::vector<Event> RecordingPoster::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<Event> RecordingPoster::take() {
    std::lock_guard lock(mutex_);
    std::vector<Event> out;
    out.swap(events_);
    return out;
}

std::size_t RecordingPoster::count() const {
    std::lock_guard lock(mutex_);
    return events_.size();
}

std::size_t RecordingPoster::flushCount() const {
    std::lock_guard lock(mutex_);
    return flushes_;
}

std::size_t RecordingPoster::refusedCount() const {
    std::lock_guard lock(mutex_);
    return refused_;
}

void RecordingPoster::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

void RecordingPoster::reserve(std::size_t events) {
    std::lock_guard lock(mutex_);
    events_.reserve(events);
}

} // namespace quillon::platform
