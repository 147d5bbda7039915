#include "Quillon/Host/InputLanes.hpp"

#include <algorithm>

namespace quillon {

std::shared_ptr<InputLanes> InputLanes::create(Executors executors, std::size_t maxPendingCost) {
    return std::shared_ptr<InputLanes>(new InputLanes(std::move(executors), maxPendingCost));
}

bool InputLanes::submit(const std::string& deviceID, Step step) {
    std::uint64_t clears = 0;
    {
        std::lock_guard lock(mutex_);
        Lane& lane = lanes_[deviceID];
        if (!lane.steps.empty() && lane.cost + step.cost > maxPendingCost_) {
            return false;
        }
        if (lane.state == LaneState::idle && lane.steps.empty() && step.where == Where::anywhere) {
            // The common case (a move into an idle lane): run it here without queueing it,
            // the lane marked driven meanwhile so that what others submit waits behind it.
            lane.state = LaneState::driven;
            driven_.fetch_add(1, std::memory_order_acq_rel);
            clears = lane.clears;
        } else {
            lane.cost += step.cost;
            lane.steps.push_back(std::move(step));
            if (lane.state == LaneState::driven) {
                return true; // its driver takes it in turn
            }
            lane.state = LaneState::driven;
            driven_.fetch_add(1, std::memory_order_acq_rel);
            step.work = nullptr; // queued: run by drive() below
        }
    }
    if (step.work) {
        const bool done = step.work();
        std::lock_guard lock(mutex_);
        Lane& lane = lanes_[deviceID];
        if (!done && lane.clears == clears) {
            // More to do (and not cleared meanwhile): it keeps its place ahead of whatever
            // came meanwhile.
            lane.cost += step.cost;
            lane.steps.push_front(std::move(step));
        }
        if (lane.steps.empty()) {
            lane.state = LaneState::idle; // stays in the map: the next move finds it ready
            driven_.fetch_sub(1, std::memory_order_acq_rel);
            return true;
        }
    }
    drive(deviceID, Context::submitter);
    return true;
}

void InputLanes::drive(const std::string& deviceID, Context context) {
    for (;;) {
        std::function<bool()> work;
        std::uint64_t clears = 0;
        {
            std::lock_guard lock(mutex_);
            auto it = lanes_.find(deviceID);
            if (it == lanes_.end()) {
                return;
            }
            Lane& lane = it->second;
            if (lane.steps.empty()) {
                lanes_.erase(it); // idle lanes cost nothing
                driven_.fetch_sub(1, std::memory_order_acq_rel);
                return;
            }
            const Where where = lane.steps.front().where;
            const bool here = where == Where::anywhere ||
                              (where == Where::worker && context == Context::worker) ||
                              (where == Where::main && context == Context::main);
            if (!here) {
                handOver(deviceID, where);
                return; // still driven: by the executor now
            }
            work = lane.steps.front().work;
            clears = lane.clears;
        }
        const bool done = work();
        {
            std::lock_guard lock(mutex_);
            auto it = lanes_.find(deviceID);
            if (it == lanes_.end()) {
                return;
            }
            Lane& lane = it->second;
            // clear() may have emptied the lane while the step ran; then nothing is popped.
            if (done && lane.clears == clears && !lane.steps.empty()) {
                lane.cost -= std::min(lane.cost, lane.steps.front().cost);
                lane.steps.pop_front();
            }
            if (context == Context::worker && !lane.steps.empty()) {
                // One turn per lane on the worker, so lanes typing at once take turns.
                handOver(deviceID, lane.steps.front().where);
                return;
            }
        }
    }
}

// Called with the mutex held.
void InputLanes::handOver(const std::string& deviceID, Where where) {
    std::weak_ptr<InputLanes> weak = weak_from_this();
    const Context next = where == Where::main ? Context::main : Context::worker;
    auto run = [weak, deviceID, next] {
        if (auto self = weak.lock()) {
            self->drive(deviceID, next);
        }
    };
    if (next == Context::main) {
        executors_.main(std::move(run));
    } else {
        executors_.worker(std::move(run));
    }
}

void InputLanes::clear(const std::string& deviceID) {
    std::lock_guard lock(mutex_);
    auto it = lanes_.find(deviceID);
    if (it != lanes_.end()) {
        if (it->second.state == LaneState::idle) {
            lanes_.erase(it); // a gone device leaves nothing behind
            return;
        }
        it->second.steps.clear();
        it->second.cost = 0;
        ++it->second.clears;
    }
}

void InputLanes::clearAll() {
    std::lock_guard lock(mutex_);
    for (auto& [id, lane] : lanes_) {
        lane.steps.clear();
        lane.cost = 0;
        ++lane.clears;
    }
}

std::size_t InputLanes::pendingCost(const std::string& deviceID) const {
    std::lock_guard lock(mutex_);
    auto it = lanes_.find(deviceID);
    return it == lanes_.end() ? 0 : it->second.cost;
}

} // namespace quillon
