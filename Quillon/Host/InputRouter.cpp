#include "Quillon/Host/InputRouter.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Host/InputLanes.hpp"
#include "Quillon/Input/InputGate.hpp"

#include <type_traits>
#include <variant>

namespace quillon {

InputRoute inputRouteOf(const wire::ControlMessage& message) noexcept {
    return std::visit(
        [](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, wire::cm::ActivateApplication> ||
                          std::is_same_v<T, wire::cm::ListApplications>) {
                return InputRoute::request;
            } else if constexpr (std::is_same_v<T, wire::cm::TextInput>) {
                return textPieceEnd(m.text, 0) == m.text.size() ? InputRoute::immediate
                                                                : InputRoute::pieces;
            } else if constexpr (std::is_same_v<T, wire::cm::PointerAbsolute> ||
                                 std::is_same_v<T, wire::cm::PointerRelative> ||
                                 std::is_same_v<T, wire::cm::MouseButton> ||
                                 std::is_same_v<T, wire::cm::Scroll> ||
                                 std::is_same_v<T, wire::cm::KeyCombo> ||
                                 std::is_same_v<T, wire::cm::Gesture> ||
                                 std::is_same_v<T, wire::cm::Magnify>) {
                return InputRoute::immediate;
            } else {
                return InputRoute::mainLane;
            }
        },
        message.value());
}

std::size_t textPieceEnd(const std::string& text, std::size_t from) noexcept {
    std::size_t at = from;
    for (std::size_t characters = 0; at < text.size() && characters < kTextPieceCharacters;
         ++characters) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
            ++at;
        }
    }
    return at;
}

std::shared_ptr<InputRouter> InputRouter::create(Collaborators collaborators) {
    return std::shared_ptr<InputRouter>(new InputRouter(std::move(collaborators)));
}

InputRouter::InputRouter(Collaborators collaborators) : c_(std::move(collaborators)) {}

InputRouter::~InputRouter() {
    c_.lanes->clearAll();
}

bool InputRouter::gated() const noexcept {
    return !c_.gate->isOpen();
}

void InputRouter::releaseDevice(const std::string& deviceID) {
    c_.lanes->clear(deviceID); // nothing of a gone device is typed after its keys are released
    c_.injector->releaseAll();
}

void InputRouter::stopAll() {
    c_.lanes->clearAll();
    c_.injector->releaseAll();
}

void InputRouter::releaseAll() {
    c_.injector->releaseAll();
}

void InputRouter::dispatch(const wire::ControlMessage& message, const std::string& deviceID) {
    if (injectNow(message, deviceID, EventInjector::Flush::now) == Injected::pending) {
        c_.injector->flush();
    }
}

InputRouter::Injected InputRouter::injectNow(const wire::ControlMessage& message,
                                             const std::string& deviceID,
                                             EventInjector::Flush flush) {
    std::weak_ptr<InputRouter> weak = weak_from_this();
    switch (inputRouteOf(message)) {
    case InputRoute::request:
        // No input: it keeps no order with it.
        c_.mainQueue->post([weak, message, deviceID] {
            if (auto self = weak.lock()) {
                self->onMain(message, deviceID);
            }
        });
        return Injected::no;
    case InputRoute::mainLane:
        // What the device sent after it waits for it.
        c_.lanes->submit(deviceID, {InputLanes::Where::main,
                                    [weak, message, deviceID] {
                                        if (auto self = weak.lock()) {
                                            self->onMain(message, deviceID);
                                        }
                                        return true;
                                    },
                                    0});
        return Injected::no;
    case InputRoute::immediate:
        if (!c_.gate->isOpen()) {
            return Injected::no; // locked: dropped without a word
        }
        if (c_.lanes->quiet()) {
            // The common case: no device has input waiting anywhere, so this message keeps its
            // order by going out at once on the delivering thread, without a lane entry (no
            // lock, no allocation beyond the injector's own lock).
            inject(message, flush);
            return flush == EventInjector::Flush::now ? Injected::flushed : Injected::pending;
        }
        c_.lanes->submit(deviceID, {InputLanes::Where::anywhere,
                                    [weak, message] {
                                        if (auto self = weak.lock()) {
                                            self->inject(message, EventInjector::Flush::now);
                                        }
                                        return true;
                                    },
                                    0});
        return Injected::no;
    case InputRoute::pieces:
        break;
    }
    if (!c_.gate->isOpen()) {
        return Injected::no;
    }
    // Long text: typed a piece per turn on the input worker, the gate looked at before each
    // piece, so a lock stops it at once and other devices' input passes between pieces.
    const auto& text = *message.getIf<wire::cm::TextInput>();
    c_.diagnostics->logIncoming(message);
    auto whole = std::make_shared<const std::string>(text.text);
    auto offset = std::make_shared<std::size_t>(0);
    const bool accepted = c_.lanes->submit(
        deviceID,
        {InputLanes::Where::worker,
         [weak, whole, offset] {
             auto self = weak.lock();
             if (!self || !self->c_.gate->isOpen()) {
                 return true; // locked (or gone): the rest is dropped
             }
             const std::size_t end = textPieceEnd(*whole, *offset);
             const wire::ControlMessage piece =
                 wire::cm::TextInput{whole->substr(*offset, end - *offset)};
             self->c_.diagnostics->timeInjection([&] { self->c_.injector->handle(piece); });
             *offset = end;
             return end >= whole->size();
         },
         whole->size()});
    if (!accepted) {
        platform::DiagLog::write(
            i18n::fill(i18n::tr("[error] device {1} has too much text waiting to be typed; "
                                "dropping {2} bytes"),
                       {platform::safeText(deviceID, 64), std::to_string(whole->size())}));
    }
    return Injected::no;
}

void InputRouter::inject(const wire::ControlMessage& message, EventInjector::Flush flush) {
    // Looked at again here: the lock may have come while the message waited in its lane.
    if (!c_.gate->isOpen()) {
        return;
    }
    auto& diagnostics = *c_.diagnostics;
    diagnostics.logIncoming(message);
    diagnostics.timeInjection([&] { c_.injector->handle(message, flush); });
}

void InputRouter::dispatchBurst(std::span<const wire::ControlMessage> messages,
                                const std::string& deviceID) {
    const auto isShort = [](const wire::ControlMessage& m) {
        return inputRouteOf(m) == InputRoute::immediate;
    };
    // The display server hears the burst's input once, after its last message: each message
    // that goes out at once leaves the flush to the next one that does.
    bool pending = false;
    std::size_t i = 0;
    while (i < messages.size()) {
        if (!c_.lanes->quiet() && isShort(messages[i])) {
            // Input is waiting in some lane: consecutive short input goes into the device's
            // lane as one step, so a burst of a thousand moves pays for one entry, not a
            // thousand.
            std::size_t end = i;
            while (end < messages.size() && isShort(messages[end])) {
                ++end;
            }
            if (end - i >= 2) {
                if (c_.gate->isOpen()) {
                    auto run = std::make_shared<const std::vector<wire::ControlMessage>>(
                        messages.begin() + static_cast<std::ptrdiff_t>(i),
                        messages.begin() + static_cast<std::ptrdiff_t>(end));
                    std::weak_ptr<InputRouter> weak = weak_from_this();
                    c_.lanes->submit(deviceID,
                                     {InputLanes::Where::anywhere,
                                      [weak, run] {
                                          if (auto self = weak.lock()) {
                                              for (std::size_t k = 0; k < run->size(); ++k) {
                                                  // Each looks at the gate; the last flushes.
                                                  self->inject((*run)[k],
                                                               k + 1 == run->size()
                                                                   ? EventInjector::Flush::now
                                                                   : EventInjector::Flush::later);
                                              }
                                          }
                                          return true;
                                      },
                                      0});
                }
                i = end;
                continue;
            }
        }
        const bool nextGoesOut = i + 1 < messages.size() && isShort(messages[i + 1]);
        switch (injectNow(messages[i], deviceID,
                          nextGoesOut ? EventInjector::Flush::later : EventInjector::Flush::now)) {
        case Injected::pending:
            pending = true;
            break;
        case Injected::flushed:
            pending = false;
            break;
        case Injected::no:
            break;
        }
        ++i;
    }
    if (pending) {
        c_.injector->flush(); // the message meant to flush went into a lane instead
    }
}

void InputRouter::onMain(const wire::ControlMessage& message, const std::string& deviceID) {
    if (!c_.gate->isOpen()) {
        return; // the screen locked meanwhile
    }
    c_.diagnostics->logIncoming(message);
    if (inputRouteOf(message) == InputRoute::request) {
        if (c_.requests) {
            c_.requests(message, deviceID);
        }
        return;
    }
    c_.injector->handle(message);
}

} // namespace quillon
