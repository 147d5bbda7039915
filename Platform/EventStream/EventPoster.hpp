#pragma once

#include "Platform/EventStream/Event.hpp"

namespace quillon::platform {

// Where synthesised events go. The sink describes an event, asks canCreate() (the point where
// creating a platform event may fail), fills in the rest and posts it. A poster is called
// from the injector's thread and from the momentum queue, never from two threads at once for
// one event; implementations guard their own state.
class EventPoster {
public:
    virtual ~EventPoster() = default;

    // False when the event cannot be made now: the sink then skips it, and whatever belongs
    // with it, and goes on with its remaining steps.
    virtual bool canCreate(const Event& event) { return true; }
    virtual void post(const Event& event) = 0;
    // Pushes posted events to the platform. Called when an EventBatch on this thread ends, or
    // by posters themselves after a post outside any batch.
    virtual void flush() {}
    // Lets go of whatever the platform still holds for this poster beyond the events' own
    // releases (keys counted down, lock keys toggled): disconnection, screen lock, exit.
    virtual void releaseAll() {}
};

// Groups the events of a burst of messages so a poster flushes once for all of them, not once
// per event. The transport opens one around each drain of received frames; momentum ticks
// and other callers outside a batch are flushed per post. Nested batches flush when the
// outermost one ends. Thread-local: a batch covers only events posted on its own thread.
class EventBatch {
public:
    EventBatch() noexcept;
    ~EventBatch();
    EventBatch(const EventBatch&) = delete;
    EventBatch& operator=(const EventBatch&) = delete;

    // True inside a batch on the calling thread.
    static bool active() noexcept;
    // Asks for `poster->flush()` at the end of the current batch (once per poster). Outside a
    // batch, flushes at once.
    static void flushLater(EventPoster* poster);
};

// Opens the desktop's overview of windows and workspaces (what a three-finger swipe up does).
class OverviewOpener {
public:
    virtual ~OverviewOpener() = default;
    virtual void openOverview() = 0;
};

} // namespace quillon::platform
