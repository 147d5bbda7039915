#include "WireProtocol/MessageType.hpp"

namespace quillon::wire {

const char* caseName(MessageType t) noexcept {
    switch (t) {
    case MessageType::pairRequest: return "pairRequest";
    case MessageType::hello: return "hello";
    case MessageType::pointerAbsolute: return "pointerAbsolute";
    case MessageType::pointerRelative: return "pointerRelative";
    case MessageType::mouseButton: return "mouseButton";
    case MessageType::scroll: return "scroll";
    case MessageType::keyCombo: return "keyCombo";
    case MessageType::textInput: return "textInput";
    case MessageType::setMode: return "setMode";
    case MessageType::setQuality: return "setQuality";
    case MessageType::requestIDR: return "requestIDR";
    case MessageType::gesture: return "gesture";
    case MessageType::magnify: return "magnify";
    case MessageType::multiClick: return "multiClick";
    case MessageType::setStickyModifiers: return "setStickyModifiers";
    case MessageType::listApplications: return "listApplications";
    case MessageType::activateApplication: return "activateApplication";
    case MessageType::heartbeat: return "heartbeat";
    case MessageType::pairResult: return "pairResult";
    case MessageType::helloAck: return "helloAck";
    case MessageType::displayInfoChanged: return "displayInfoChanged";
    case MessageType::heartbeatAck: return "heartbeatAck";
    case MessageType::applicationList: return "applicationList";
    case MessageType::error: return "error";
    }
    return "?";
}

} // namespace quillon::wire
