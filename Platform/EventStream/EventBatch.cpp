#include "Platform/EventStream/EventPoster.hpp"

#include <algorithm>
#include <vector>

namespace quillon::platform {

namespace {
thread_local int batchDepth = 0;
thread_local std::vector<EventPoster*> pendingFlush;
} // namespace

EventBatch::EventBatch() noexcept { ++batchDepth; }

EventBatch::~EventBatch() {
    if (--batchDepth > 0) {
        return;
    }
    // Flushing may post nothing new, but take the list first so a poster that flushes into a
    // nested batch cannot invalidate the iteration.
    std::vector<EventPoster*> posters;
    posters.swap(pendingFlush);
    for (EventPoster* p : posters) {
        p->flush();
    }
}

bool EventBatch::active() noexcept { return batchDepth > 0; }

void EventBatch::flushLater(EventPoster* poster) {
    if (batchDepth == 0) {
        poster->flush();
        return;
    }
    if (std::find(pendingFlush.begin(), pendingFlush.end(), poster) == pendingFlush.end()) {
        pendingFlush.push_back(poster);
    }
}

} // namespace quillon::platform
