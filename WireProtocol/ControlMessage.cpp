#include "WireProtocol/ControlMessage.hpp"

#include "WireProtocol/ByteReader.hpp"
#include "WireProtocol/ByteWriter.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <sstream>

namespace quillon::wire {

namespace {

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

// Application-list limits enforced on decoding.
constexpr std::uint32_t kMaxAppEntries = 4096;
constexpr std::size_t kMaxAppTextBytes = 1024;
constexpr std::size_t kMaxIconBytes = 65536;

using Kind = ControlMessageDecodeError::Kind;

// Reads fields of one payload; any absent read throws malformedPayload for the frame's type.
class FieldReader {
public:
    FieldReader(MessageType type, ByteView payload) : type_(type), reader_(payload) {}

    std::uint8_t u8() { return need(reader_.readUInt8()); }
    std::uint16_t u16() { return need(reader_.readUInt16()); }
    std::uint32_t u32() { return need(reader_.readUInt32()); }
    float f32() { return need(reader_.readFloat32()); }
    Bytes bytes() { return need(reader_.readBytes()); }
    std::string string() { return need(reader_.readString()); }
    std::string_view stringView() { return need(reader_.readStringView()); }
    std::size_t remaining() const noexcept { return reader_.remaining(); }

    template <typename E> E enumeration(std::uint8_t raw) const {
        const auto value = fromRawValue<E>(raw);
        if (!value) {
            throw ControlMessageDecodeError(Kind::invalidEnumValue, type_);
        }
        return *value;
    }
    [[noreturn]] void malformed() const {
        throw ControlMessageDecodeError(Kind::malformedPayload, type_);
    }

private:
    template <typename T> T need(std::optional<T>&& v) const {
        if (!v) {
            malformed();
        }
        return std::move(*v);
    }

    MessageType type_;
    ByteReader reader_;
};

std::vector<AppEntry> decodeApplicationList(FieldReader& r) {
    const std::uint32_t count = r.u32();
    if (count > kMaxAppEntries) {
        r.malformed(); // before reading (or reserving for) any entry
    }
    std::vector<AppEntry> entries;
    // Reserve only what the payload can actually hold (an entry takes at least its three
    // 4-byte length prefixes): a bare count of 4,096 must not allocate 4,096 entries.
    constexpr std::size_t minEntryBytes = 12;
    entries.reserve(std::min<std::size_t>(count, r.remaining() / minEntryBytes));
    for (std::uint32_t i = 0; i < count; ++i) {
        AppEntry e;
        e.displayName = r.string();
        if (e.displayName.size() > kMaxAppTextBytes) {
            r.malformed();
        }
        e.bundleID = r.string();
        if (e.bundleID.size() > kMaxAppTextBytes) {
            r.malformed();
        }
        e.iconPNG = r.bytes();
        if (e.iconPNG.size() > kMaxIconBytes) {
            r.malformed();
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

void appendFloat(std::ostringstream& os, float f) {
    char buf[64];
    // Shortest form that reads back the same float, with a ".0" for whole numbers.
    for (int precision = 1; precision <= 9; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(f));
        float back = 0;
        if (std::sscanf(buf, "%g", &back) == 1 && back == f) {
            break;
        }
    }
    std::string s(buf);
    if (s.find_first_of(".eEn") == std::string::npos) {
        s += ".0";
    }
    os << s;
}

void appendString(std::ostringstream& os, const std::string& s) {
    os << '"';
    for (char c : s) {
        if (c == '"' || c == '\\') {
            os << '\\' << c;
        } else if (c == '\n') {
            os << "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            os << buf;
        } else {
            os << c;
        }
    }
    os << '"';
}

} // namespace

const char* ControlMessageDecodeError::what() const noexcept {
    switch (kind_) {
    case Kind::malformedPayload:
        return "malformed payload";
    case Kind::invalidEnumValue:
        return "invalid enumeration value";
    case Kind::unsupportedInThisPhase:
        return "message type not supported in this protocol phase";
    }
    return "control message decode error";
}

MessageType ControlMessage::type() const noexcept {
    return std::visit(
        Overloaded{
            [](const cm::PairRequest&) { return MessageType::pairRequest; },
            [](const cm::Hello&) { return MessageType::hello; },
            [](const cm::PointerAbsolute&) { return MessageType::pointerAbsolute; },
            [](const cm::PointerRelative&) { return MessageType::pointerRelative; },
            [](const cm::MouseButton&) { return MessageType::mouseButton; },
            [](const cm::Scroll&) { return MessageType::scroll; },
            [](const cm::KeyCombo&) { return MessageType::keyCombo; },
            [](const cm::TextInput&) { return MessageType::textInput; },
            [](const cm::SetMode&) { return MessageType::setMode; },
            [](const cm::Gesture&) { return MessageType::gesture; },
            [](const cm::Magnify&) { return MessageType::magnify; },
            [](const cm::MultiClick&) { return MessageType::multiClick; },
            [](const cm::SetStickyModifiers&) { return MessageType::setStickyModifiers; },
            [](const cm::ActivateApplication&) { return MessageType::activateApplication; },
            [](const cm::PairResult&) { return MessageType::pairResult; },
            [](const cm::HelloAck&) { return MessageType::helloAck; },
            [](const cm::DisplayInfoChanged&) { return MessageType::displayInfoChanged; },
            [](const cm::ApplicationList&) { return MessageType::applicationList; },
            [](const cm::Error&) { return MessageType::error; },
            [](const cm::ListApplications&) { return MessageType::listApplications; },
            [](const cm::Heartbeat&) { return MessageType::heartbeat; },
            [](const cm::HeartbeatAck&) { return MessageType::heartbeatAck; },
        },
        value_);
}

void ControlMessage::encodePayload(Bytes& out) const {
    ByteWriter w(std::move(out));
    std::visit(Overloaded{
                   [&](const cm::PairRequest& m) { w.writeString(m.deviceName); },
                   [&](const cm::Hello& m) {
                       w.writeString(m.deviceID);
                       w.writeBytes(m.token);
                       w.writeString(m.deviceName);
                       w.writeUInt16(m.protocolVersion);
                   },
                   [&](const cm::PointerAbsolute& m) {
                       w.writeFloat32(m.x);
                       w.writeFloat32(m.y);
                       w.writeFloat32(m.hoverZ);
                   },
                   [&](const cm::PointerRelative& m) {
                       w.writeFloat32(m.dx);
                       w.writeFloat32(m.dy);
                   },
                   [&](const cm::MouseButton& m) {
                       w.writeUInt8(rawValue(m.button));
                       w.writeUInt8(m.isDown ? 1 : 0);
                   },
                   [&](const cm::Scroll& m) {
                       w.writeFloat32(m.dx);
                       w.writeFloat32(m.dy);
                       w.writeUInt8(rawValue(m.phase));
                   },
                   [&](const cm::KeyCombo& m) {
                       w.writeUInt16(m.keyCode);
                       w.writeUInt16(m.modifiers.rawValue);
                   },
                   [&](const cm::TextInput& m) { w.writeString(m.text); },
                   [&](const cm::SetMode& m) { w.writeUInt8(rawValue(m.mode)); },
                   [&](const cm::Gesture& m) { w.writeUInt8(rawValue(m.gesture)); },
                   [&](const cm::Magnify& m) {
                       w.writeFloat32(m.scale);
                       w.writeUInt8(rawValue(m.phase));
                   },
                   [&](const cm::MultiClick& m) {
                       w.writeUInt8(rawValue(m.button));
                       w.writeUInt8(m.clickCount);
                   },
                   [&](const cm::SetStickyModifiers& m) { w.writeUInt16(m.modifiers.rawValue); },
                   [&](const cm::ActivateApplication& m) { w.writeString(m.bundleID); },
                   [&](const cm::PairResult& m) {
                       w.writeUInt8(m.accepted ? 1 : 0);
                       w.writeString(m.deviceID);
                       w.writeBytes(m.token);
                       w.writeBytes(m.hostSecret);
                   },
                   [&](const cm::HelloAck& m) {
                       w.writeUInt32(m.screenWidth);
                       w.writeUInt32(m.screenHeight);
                       w.writeFloat32(m.scale);
                   },
                   [&](const cm::DisplayInfoChanged& m) {
                       w.writeUInt32(m.screenWidth);
                       w.writeUInt32(m.screenHeight);
                       w.writeFloat32(m.scale);
                   },
                   [&](const cm::ApplicationList& m) {
                       w.writeUInt32(static_cast<std::uint32_t>(m.entries.size()));
                       for (const auto& e : m.entries) {
                           w.writeString(e.displayName);
                           w.writeString(e.bundleID);
                           w.writeBytes(e.iconPNG);
                       }
                   },
                   [&](const cm::Error& m) {
                       w.writeUInt16(m.code);
                       w.writeString(m.message);
                   },
                   [&](const cm::ListApplications&) {},
                   [&](const cm::Heartbeat&) {},
                   [&](const cm::HeartbeatAck&) {},
               },
               value_);
    out = w.take();
}

Frame ControlMessage::encode() const {
    Frame frame{type(), {}};
    encodePayload(frame.payload);
    return frame;
}

ControlMessage ControlMessage::decode(const Frame& frame) {
    return decode(frame.type, frame.payload);
}

ControlMessage ControlMessage::decodeGeneral(MessageType type, ByteView payload) {
    FieldReader r(type, payload);
    switch (type) {
    case MessageType::setQuality:
    case MessageType::requestIDR:
        throw ControlMessageDecodeError(Kind::unsupportedInThisPhase, type);
    case MessageType::listApplications:
        return cm::ListApplications{};
    case MessageType::heartbeat:
        return cm::Heartbeat{};
    case MessageType::heartbeatAck:
        return cm::HeartbeatAck{};
    case MessageType::pairRequest:
        return cm::PairRequest{r.string()};
    case MessageType::hello: {
        cm::Hello m;
        m.deviceID = r.string();
        m.token = r.bytes();
        m.deviceName = r.string();
        m.protocolVersion = r.u16();
        return m;
    }
    case MessageType::pointerAbsolute: {
        const float x = r.f32();
        const float y = r.f32();
        const float z = r.f32();
        return cm::PointerAbsolute{x, y, z};
    }
    case MessageType::pointerRelative: {
        const float dx = r.f32();
        const float dy = r.f32();
        return cm::PointerRelative{dx, dy};
    }
    case MessageType::mouseButton: {
        // Both bytes are read before the enumeration is checked: one valid byte is malformed,
        // two bytes with a bad button are an invalid enumeration value.
        const std::uint8_t button = r.u8();
        const std::uint8_t down = r.u8();
        return cm::MouseButton{r.enumeration<MouseButton>(button), down != 0};
    }
    case MessageType::scroll: {
        const float dx = r.f32();
        const float dy = r.f32();
        const std::uint8_t phase = r.u8();
        return cm::Scroll{dx, dy, r.enumeration<ScrollPhase>(phase)};
    }
    case MessageType::keyCombo: {
        const std::uint16_t key = r.u16();
        const std::uint16_t mods = r.u16();
        return cm::KeyCombo{key, KeyModifiers(mods)};
    }
    case MessageType::textInput: {
        // Typed text is on the input path: build the message once and copy the text straight
        // into it (each extra move of a short string is a memcpy call).
        const std::string_view text = r.stringView();
        ControlMessage m{cm::TextInput{}};
        std::get<cm::TextInput>(m.value_).text.assign(text);
        return m;
    }
    case MessageType::setMode: {
        const std::uint8_t mode = r.u8();
        return cm::SetMode{r.enumeration<OperatingMode>(mode)};
    }
    case MessageType::gesture: {
        const std::uint8_t g = r.u8();
        return cm::Gesture{r.enumeration<TrackpadGesture>(g)};
    }
    case MessageType::magnify: {
        const float scale = r.f32();
        const std::uint8_t phase = r.u8();
        return cm::Magnify{scale, r.enumeration<ScrollPhase>(phase)};
    }
    case MessageType::multiClick: {
        const std::uint8_t button = r.u8();
        const std::uint8_t count = r.u8();
        return cm::MultiClick{r.enumeration<MouseButton>(button), count};
    }
    case MessageType::setStickyModifiers:
        return cm::SetStickyModifiers{KeyModifiers(r.u16())};
    case MessageType::activateApplication:
        return cm::ActivateApplication{r.string()};
    case MessageType::pairResult: {
        cm::PairResult m;
        m.accepted = r.u8() != 0;
        m.deviceID = r.string();
        m.token = r.bytes();
        m.hostSecret = r.bytes();
        return m;
    }
    case MessageType::helloAck: {
        const std::uint32_t w = r.u32();
        const std::uint32_t h = r.u32();
        const float s = r.f32();
        return cm::HelloAck{w, h, s};
    }
    case MessageType::displayInfoChanged: {
        const std::uint32_t w = r.u32();
        const std::uint32_t h = r.u32();
        const float s = r.f32();
        return cm::DisplayInfoChanged{w, h, s};
    }
    case MessageType::applicationList:
        return cm::ApplicationList{decodeApplicationList(r)};
    case MessageType::error: {
        const std::uint16_t code = r.u16();
        return cm::Error{code, r.string()};
    }
    }
    r.malformed(); // unreachable for a valid MessageType
}

std::string ControlMessage::description() const {
    std::ostringstream os;
    os << caseName(type());
    auto bytes = [&](const Bytes& b) { os << b.size() << " bytes"; };
    std::visit(
        Overloaded{
            [&](const cm::PairRequest& m) {
                os << "(deviceName: ";
                appendString(os, m.deviceName);
                os << ')';
            },
            [&](const cm::Hello& m) {
                os << "(deviceID: ";
                appendString(os, m.deviceID);
                os << ", token: ";
                bytes(m.token);
                os << ", deviceName: ";
                appendString(os, m.deviceName);
                os << ", protocolVersion: " << m.protocolVersion << ')';
            },
            [&](const cm::PointerAbsolute& m) {
                os << "(x: ";
                appendFloat(os, m.x);
                os << ", y: ";
                appendFloat(os, m.y);
                os << ", hoverZ: ";
                appendFloat(os, m.hoverZ);
                os << ')';
            },
            [&](const cm::PointerRelative& m) {
                os << "(dx: ";
                appendFloat(os, m.dx);
                os << ", dy: ";
                appendFloat(os, m.dy);
                os << ')';
            },
            [&](const cm::MouseButton& m) {
                os << "(button: " << caseName(m.button)
                   << ", isDown: " << (m.isDown ? "true" : "false") << ')';
            },
            [&](const cm::Scroll& m) {
                os << "(dx: ";
                appendFloat(os, m.dx);
                os << ", dy: ";
                appendFloat(os, m.dy);
                os << ", phase: " << caseName(m.phase) << ')';
            },
            [&](const cm::KeyCombo& m) {
                os << "(keyCode: " << m.keyCode << ", modifiers: " << m.modifiers.rawValue << ')';
            },
            [&](const cm::TextInput& m) {
                os << '(';
                appendString(os, m.text);
                os << ')';
            },
            [&](const cm::SetMode& m) { os << '(' << caseName(m.mode) << ')'; },
            [&](const cm::Gesture& m) { os << '(' << caseName(m.gesture) << ')'; },
            [&](const cm::Magnify& m) {
                os << "(scale: ";
                appendFloat(os, m.scale);
                os << ", phase: " << caseName(m.phase) << ')';
            },
            [&](const cm::MultiClick& m) {
                os << "(button: " << caseName(m.button)
                   << ", clickCount: " << static_cast<int>(m.clickCount) << ')';
            },
            [&](const cm::SetStickyModifiers& m) { os << '(' << m.modifiers.rawValue << ')'; },
            [&](const cm::ActivateApplication& m) {
                os << "(bundleID: ";
                appendString(os, m.bundleID);
                os << ')';
            },
            [&](const cm::PairResult& m) {
                os << "(accepted: " << (m.accepted ? "true" : "false") << ", deviceID: ";
                appendString(os, m.deviceID);
                os << ", token: ";
                bytes(m.token);
                os << ", hostSecret: ";
                bytes(m.hostSecret);
                os << ')';
            },
            [&](const cm::HelloAck& m) {
                os << "(screenWidth: " << m.screenWidth << ", screenHeight: " << m.screenHeight
                   << ", scale: ";
                appendFloat(os, m.scale);
                os << ')';
            },
            [&](const cm::DisplayInfoChanged& m) {
                os << "(screenWidth: " << m.screenWidth << ", screenHeight: " << m.screenHeight
                   << ", scale: ";
                appendFloat(os, m.scale);
                os << ')';
            },
            [&](const cm::ApplicationList& m) { os << '(' << m.entries.size() << " entries)"; },
            [&](const cm::Error& m) {
                os << "(code: " << m.code << ", message: ";
                appendString(os, m.message);
                os << ')';
            },
            [&](const cm::ListApplications&) {},
            [&](const cm::Heartbeat&) {},
            [&](const cm::HeartbeatAck&) {},
        },
        value_);
    return os.str();
}

bool ControlMessage::identical(const ControlMessage& a, const ControlMessage& b) {
    if (a.type() != b.type()) {
        return false;
    }
    Bytes pa, pb;
    a.encodePayload(pa);
    b.encodePayload(pb);
    return pa == pb;
}

} // namespace quillon::wire
