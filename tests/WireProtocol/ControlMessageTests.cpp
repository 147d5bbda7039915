// test-labels: wire
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/InputTypes.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <optional>
#include <set>
#include <unordered_set>
#include <variant>

using namespace quillon::wire;
using Kind = ControlMessageDecodeError::Kind;

namespace {

float fromBits(std::uint32_t bits) {
    return std::bit_cast<float>(bits);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes u32(std::uint32_t n);

Bytes lengthPrefixed(const Bytes& body) {
    return concat({u32(static_cast<std::uint32_t>(body.size())), body});
}

// One application-list entry with fields of the given sizes ('a' text, 0x89 icon bytes).
Bytes appEntry(std::size_t nameBytes, std::size_t bundleBytes, std::size_t iconBytes) {
    return concat({lengthPrefixed(Bytes(nameBytes, 'a')), lengthPrefixed(Bytes(bundleBytes, 'a')),
                   lengthPrefixed(Bytes(iconBytes, 0x89))});
}

Bytes u32(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

struct Layout {
    const char* name;
    ControlMessage message;
    std::uint8_t code;
    Bytes payload;
};

// Every case with its exact payload; checked in both directions.
const std::vector<Layout>& layouts() {
    static const std::vector<Layout> table = {
        {"pairRequest", cm::PairRequest{"iPad"}, 0x01, {4, 0, 0, 0, 'i', 'P', 'a', 'd'}},
        {"hello",
         cm::Hello{"A", {}, "B", 2},
         0x02,
         {0x01, 0, 0, 0, 0x41, 0, 0, 0, 0, 0x01, 0, 0, 0, 0x42, 0x02, 0x00}},
        {"hello with token",
         cm::Hello{"", {0xDE, 0xAD}, "", 0x0102},
         0x02,
         {0, 0, 0, 0, 2, 0, 0, 0, 0xDE, 0xAD, 0, 0, 0, 0, 0x02, 0x01}},
        {"pointerAbsolute",
         cm::PointerAbsolute{1.0f, 2.0f, -0.5f},
         0x10,
         {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40, 0, 0, 0, 0xBF}},
        {"pointerRelative",
         cm::PointerRelative{-1.0f, 0.25f},
         0x11,
         {0, 0, 0x80, 0xBF, 0, 0, 0x80, 0x3E}},
        {"mouseButton", cm::MouseButton{MouseButton::right, true}, 0x12, {0x01, 0x01}},
        {"mouseButton up", cm::MouseButton{MouseButton::middle, false}, 0x12, {0x02, 0x00}},
        {"scroll",
         cm::Scroll{0.0f, -3.0f, ScrollPhase::changed},
         0x13,
         {0, 0, 0, 0, 0, 0, 0x40, 0xC0, 0x01}},
        {"keyCombo",
         cm::KeyCombo{0x0024, KeyModifiers{KeyModifiers::command, KeyModifiers::shift}},
         0x14,
         {0x24, 0x00, 0x03, 0x00}},
        {"textInput", cm::TextInput{"配"}, 0x15, {3, 0, 0, 0, 0xE9, 0x85, 0x8D}},
        {"setMode", cm::SetMode{OperatingMode::remoteDesktop}, 0x16, {0x01}},
        {"gesture", cm::Gesture{TrackpadGesture::showDesktop}, 0x19, {0x08}},
        {"magnify", cm::Magnify{1.5f, ScrollPhase::momentum}, 0x1A, {0, 0, 0xC0, 0x3F, 0x03}},
        {"multiClick", cm::MultiClick{MouseButton::middle, 3}, 0x1B, {0x02, 0x03}},
        {"setStickyModifiers", cm::SetStickyModifiers{KeyModifiers(0x0108)}, 0x1C, {0x08, 0x01}},
        {"listApplications", cm::ListApplications{}, 0x1D, {}},
        {"activateApplication",
         cm::ActivateApplication{"com.x"},
         0x1E,
         {5, 0, 0, 0, 'c', 'o', 'm', '.', 'x'}},
        {"heartbeat", cm::Heartbeat{}, 0x1F, {}},
        {"pairResult",
         cm::PairResult{true, "D", {1, 2}, {3}},
         0x81,
         {0x01, 1, 0, 0, 0, 'D', 2, 0, 0, 0, 1, 2, 1, 0, 0, 0, 3}},
        {"pairResult refused",
         cm::PairResult{false, "", {}, {}},
         0x81,
         {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"helloAck",
         cm::HelloAck{1920, 1080, 2.0f},
         0x82,
         {0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0, 0, 0, 0, 0x40}},
        {"displayInfoChanged",
         cm::DisplayInfoChanged{2560, 1440, 1.0f},
         0x83,
         {0x00, 0x0A, 0, 0, 0xA0, 0x05, 0, 0, 0, 0, 0x80, 0x3F}},
        {"heartbeatAck", cm::HeartbeatAck{}, 0x84, {}},
        {"applicationList",
         cm::ApplicationList{{AppEntry{"N", "b", {0x89}}, AppEntry{"", "", {}}}},
         0x85,
         {2, 0, 0,    0, 1, 0, 0, 0, 'N', 1, 0, 0, 0, 'b', 1, 0,
          0, 0, 0x89, 0, 0, 0, 0, 0, 0,   0, 0, 0, 0, 0,   0}},
        {"applicationList empty", cm::ApplicationList{}, 0x85, {0, 0, 0, 0}},
        {"error", cm::Error{426, ""}, 0x8F, {0xAA, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {"error with text", cm::Error{401, "拒"}, 0x8F, {0x91, 0x01, 3, 0, 0, 0, 0xE6, 0x8B, 0x92}},
    };
    return table;
}

TEST(ControlMessage, LayoutsInBothDirections) {
    std::set<std::uint8_t> codesSeen;
    for (const auto& c : layouts()) {
        SCOPED_TRACE(c.name);
        const Frame frame = c.message.encode();
        EXPECT_EQ(rawValue(frame.type), c.code);
        EXPECT_EQ(rawValue(c.message.type()), c.code);
        EXPECT_EQ(frame.payload, c.payload);
        const ControlMessage decoded = ControlMessage::decode(Frame{frame.type, c.payload});
        EXPECT_TRUE(ControlMessage::identical(decoded, c.message)) << decoded.description();
        EXPECT_EQ(decoded, c.message);
        codesSeen.insert(c.code);
    }
    EXPECT_EQ(codesSeen.size(), 22u); // every message type except the two reserved codes
}

struct DecodeCase {
    const char* name;
    MessageType type;
    Bytes payload;
    std::variant<Kind, ControlMessage> expected;
};

template <typename Decode> void checkDecodeWith(const DecodeCase& c, Decode decode) {
    try {
        const ControlMessage m = decode(c.type, c.payload);
        const auto* want = std::get_if<ControlMessage>(&c.expected);
        ASSERT_NE(want, nullptr) << "decoded " << m.description();
        EXPECT_TRUE(ControlMessage::identical(m, *want)) << m.description();
    } catch (const ControlMessageDecodeError& e) {
        const auto* want = std::get_if<Kind>(&c.expected);
        ASSERT_NE(want, nullptr) << "threw " << e.what();
        EXPECT_EQ(e.kind(), *want) << e.what();
        EXPECT_EQ(e.type(), c.type); // the error names the frame's type
    }
}

// Checks decode() (with its inline fast path) and the complete decoder alike.
void checkDecode(const DecodeCase& c) {
    SCOPED_TRACE(c.name);
    checkDecodeWith(c, [](MessageType t, ByteView p) { return ControlMessage::decode(t, p); });
    checkDecodeWith(c,
                    [](MessageType t, ByteView p) { return ControlMessage::decodeGeneral(t, p); });
}

TEST(ControlMessage, FixedSizeDecoding) {
    const DecodeCase cases[] = {
        {"12 zero bytes", MessageType::pointerAbsolute, Bytes(12, 0), cm::PointerAbsolute{0, 0, 0}},
        {"11 bytes", MessageType::pointerAbsolute, Bytes(11, 0), Kind::malformedPayload},
        {"13 bytes, last ignored", MessageType::pointerAbsolute, Bytes(13, 0),
         cm::PointerAbsolute{0, 0, 0}},
        {"relative 7 bytes", MessageType::pointerRelative, Bytes(7, 0), Kind::malformedPayload},
        {"any non-zero byte is pressed",
         MessageType::mouseButton,
         {0x01, 0x05},
         cm::MouseButton{MouseButton::right, true}},
        {"button 3", MessageType::mouseButton, {0x03, 0x01}, Kind::invalidEnumValue},
        // Both bytes are read before the button is checked.
        {"one valid byte", MessageType::mouseButton, {0x01}, Kind::malformedPayload},
        {"one invalid byte", MessageType::mouseButton, {0x07}, Kind::malformedPayload},
        {"button empty", MessageType::mouseButton, {}, Kind::malformedPayload},
        {"scroll 8 bytes", MessageType::scroll, Bytes(8, 0), Kind::malformedPayload},
        {"scroll phase 4",
         MessageType::scroll,
         {0, 0, 0, 0, 0, 0, 0, 0, 4},
         Kind::invalidEnumValue},
        {"scroll phase 3",
         MessageType::scroll,
         {0, 0, 0, 0, 0, 0, 0, 0, 3},
         cm::Scroll{0, 0, ScrollPhase::momentum}},
        {"all modifier bits",
         MessageType::keyCombo,
         {0x00, 0x00, 0xFF, 0xFF},
         cm::KeyCombo{0, KeyModifiers(0xFFFF)}},
        {"keyCombo 3 bytes", MessageType::keyCombo, {0, 0, 0}, Kind::malformedPayload},
        {"setMode 02", MessageType::setMode, {0x02}, Kind::invalidEnumValue},
        {"setMode empty", MessageType::setMode, {}, Kind::malformedPayload},
        {"gesture 09", MessageType::gesture, {0x09}, Kind::invalidEnumValue},
        {"gesture 08", MessageType::gesture, {0x08}, cm::Gesture{TrackpadGesture::showDesktop}},
        {"gesture FF", MessageType::gesture, {0xFF}, Kind::invalidEnumValue},
        {"magnify 4 bytes", MessageType::magnify, {0, 0, 0x80, 0x3F}, Kind::malformedPayload},
        {"magnify phase 4", MessageType::magnify, {0, 0, 0x80, 0x3F, 4}, Kind::invalidEnumValue},
        {"multiClick button 3", MessageType::multiClick, {0x03, 0x02}, Kind::invalidEnumValue},
        {"multiClick 1 byte", MessageType::multiClick, {0x00}, Kind::malformedPayload},
        {"click count 255",
         MessageType::multiClick,
         {0x00, 0xFF},
         cm::MultiClick{MouseButton::left, 255}},
        {"sticky 1 byte", MessageType::setStickyModifiers, {0x01}, Kind::malformedPayload},
        {"helloAck 11 bytes", MessageType::helloAck, Bytes(11, 0), Kind::malformedPayload},
        {"displayInfo 11 bytes", MessageType::displayInfoChanged, Bytes(11, 0),
         Kind::malformedPayload},
        {"setQuality empty", MessageType::setQuality, {}, Kind::unsupportedInThisPhase},
        {"requestIDR with bytes", MessageType::requestIDR, {1, 2, 3}, Kind::unsupportedInThisPhase},
        {"heartbeat with 3 bytes", MessageType::heartbeat, {1, 2, 3}, cm::Heartbeat{}},
        {"heartbeatAck with a byte", MessageType::heartbeatAck, {9}, cm::HeartbeatAck{}},
        {"listApplications with a byte",
         MessageType::listApplications,
         {9},
         cm::ListApplications{}},
    };
    for (const auto& c : cases) {
        checkDecode(c);
    }
}

TEST(ControlMessage, VariableSizeDecoding) {
    const Bytes invalidUTF8 = lengthPrefixed({0xC3, 0x28});
    const DecodeCase cases[] = {
        {"text length beyond payload",
         MessageType::textInput,
         {5, 0, 0, 0, 'a', 'b'},
         Kind::malformedPayload},
        {"text invalid UTF-8", MessageType::textInput, invalidUTF8, Kind::malformedPayload},
        {"text empty payload", MessageType::textInput, {}, Kind::malformedPayload},
        {"text with trailing bytes",
         MessageType::textInput,
         {1, 0, 0, 0, 'a', 0xFF},
         cm::TextInput{"a"}},
        {"pairRequest short prefix", MessageType::pairRequest, {1, 0, 0}, Kind::malformedPayload},
        {"hello without version",
         MessageType::hello,
         {1, 0, 0, 0, 0x41, 0, 0, 0, 0, 1, 0, 0, 0, 0x42, 0x02},
         Kind::malformedPayload},
        {"hello name invalid UTF-8", MessageType::hello,
         concat({lengthPrefixed({'A'}), lengthPrefixed({}), invalidUTF8, {2, 0}}),
         Kind::malformedPayload},
        {"hello token is not text", MessageType::hello,
         concat({lengthPrefixed({}), lengthPrefixed({0xFF, 0xFE}), lengthPrefixed({}), {2, 0}}),
         cm::Hello{"", {0xFF, 0xFE}, "", 2}},
        {"pairResult empty", MessageType::pairResult, {}, Kind::malformedPayload},
        {"pairResult without secret", MessageType::pairResult,
         concat({{0x02}, lengthPrefixed({'D'}), lengthPrefixed({1})}), Kind::malformedPayload},
        {"pairResult any non-zero is accepted", MessageType::pairResult,
         concat({{0x80}, lengthPrefixed({'D'}), lengthPrefixed({1}), lengthPrefixed({})}),
         cm::PairResult{true, "D", {1}, {}}},
        {"error code only", MessageType::error, {0xAA, 0x01}, Kind::malformedPayload},
        {"error 1 byte", MessageType::error, {0xAA}, Kind::malformedPayload},
        {"activate invalid UTF-8", MessageType::activateApplication, invalidUTF8,
         Kind::malformedPayload},
    };
    for (const auto& c : cases) {
        checkDecode(c);
    }
}

TEST(ControlMessage, ApplicationListLimits) {
    auto list = [](std::uint32_t count, std::initializer_list<Bytes> entries) {
        Bytes out = u32(count);
        for (const auto& e : entries) {
            out.insert(out.end(), e.begin(), e.end());
        }
        return out;
    };
    auto entries = [](std::size_t name, std::size_t bundle, std::size_t icon) {
        return cm::ApplicationList{
            {AppEntry{std::string(name, 'a'), std::string(bundle, 'a'), Bytes(icon, 0x89)}}};
    };
    const DecodeCase cases[] = {
        {"no count", MessageType::applicationList, {0, 0, 0}, Kind::malformedPayload},
        {"count 4097, no entries", MessageType::applicationList, list(4097, {}),
         Kind::malformedPayload},
        {"count 2^32-1", MessageType::applicationList, list(0xFFFFFFFF, {}),
         Kind::malformedPayload},
        {"count 4096, no entries", MessageType::applicationList, list(4096, {}),
         Kind::malformedPayload},
        {"count 2, one entry", MessageType::applicationList, list(2, {appEntry(1, 1, 1)}),
         Kind::malformedPayload},
        {"entry without icon", MessageType::applicationList,
         list(1, {concat({lengthPrefixed({'a'}), lengthPrefixed({'a'})})}), Kind::malformedPayload},
        {"name 1,024 bytes", MessageType::applicationList, list(1, {appEntry(1024, 1, 1)}),
         entries(1024, 1, 1)},
        {"name 1,025 bytes", MessageType::applicationList, list(1, {appEntry(1025, 1, 1)}),
         Kind::malformedPayload},
        {"bundle 1,024 bytes", MessageType::applicationList, list(1, {appEntry(1, 1024, 1)}),
         entries(1, 1024, 1)},
        {"bundle 1,025 bytes", MessageType::applicationList, list(1, {appEntry(1, 1025, 1)}),
         Kind::malformedPayload},
        {"icon 65,536 bytes", MessageType::applicationList, list(1, {appEntry(1, 1, 65536)}),
         entries(1, 1, 65536)},
        {"icon 65,537 bytes", MessageType::applicationList, list(1, {appEntry(1, 1, 65537)}),
         Kind::malformedPayload},
        {"name invalid UTF-8", MessageType::applicationList,
         list(1, {concat({lengthPrefixed({0xC0, 0x80}), lengthPrefixed({}), lengthPrefixed({})})}),
         Kind::malformedPayload},
        {"count 0 with trailing bytes", MessageType::applicationList, list(0, {appEntry(1, 1, 1)}),
         cm::ApplicationList{}},
    };
    for (const auto& c : cases) {
        checkDecode(c);
    }

    // Exactly 4,096 entries pass, in wire order.
    Bytes full = u32(4096);
    for (std::uint32_t i = 0; i < 4096; ++i) {
        const std::string name = std::to_string(i);
        full = concat({full, lengthPrefixed(Bytes(name.begin(), name.end())), lengthPrefixed({}),
                       lengthPrefixed({})});
    }
    const auto decoded = ControlMessage::decode(Frame{MessageType::applicationList, full});
    const auto& got = decoded.as<cm::ApplicationList>().entries;
    ASSERT_EQ(got.size(), 4096u);
    EXPECT_EQ(got.front().displayName, "0");
    EXPECT_EQ(got.back().displayName, "4095");
}

// Everything, including the float edge values, comes back bit for bit.
TEST(ControlMessage, EveryMessageRoundTrips) {
    const float nanA = fromBits(0x7FC12345), nanB = fromBits(0xFFA00001); // quiet, signalling
    const float inf = fromBits(0x7F800000), negZero = fromBits(0x80000000);
    const float subnormal = fromBits(0x00000001);
    const std::vector<ControlMessage> messages = {
        cm::PairRequest{"张三的 iPad"},
        cm::Hello{"6F9619FF-8B86-D011-B42D-00C04FC964FF", Bytes(32, 0xA5), "iPad", 0xFFFF},
        cm::PointerAbsolute{nanA, negZero, subnormal},
        cm::PointerAbsolute{-inf, 1e30f, -1e-30f},
        cm::PointerRelative{nanB, inf},
        cm::MouseButton{MouseButton::left, true},
        cm::Scroll{nanA, nanB, ScrollPhase::ended},
        cm::KeyCombo{0xFFFF, KeyModifiers(0x0100)},
        cm::TextInput{std::string("a\0b\n\xF0\x9F\x98\x80", 8)},
        cm::SetMode{OperatingMode::inputDevice},
        cm::Gesture{TrackpadGesture::fourFingerPinchIn},
        cm::Magnify{nanB, ScrollPhase::began},
        cm::MultiClick{MouseButton::right, 0},
        cm::SetStickyModifiers{KeyModifiers(0xFFFF)},
        cm::ListApplications{},
        cm::ActivateApplication{""},
        cm::Heartbeat{},
        cm::PairResult{true, "id", Bytes(32, 0), Bytes(32, 0xFF)},
        cm::HelloAck{0xFFFFFFFF, 0, nanA},
        cm::DisplayInfoChanged{0, 0xFFFFFFFF, -0.0f},
        cm::HeartbeatAck{},
        cm::ApplicationList{{AppEntry{"Files", "org.example.Files", Bytes(300, 7)},
                             AppEntry{"终端", "org.example.Terminal", {}}}},
        cm::Error{0xFFFF, "会话超时"},
    };
    for (const auto& m : messages) {
        SCOPED_TRACE(m.description());
        const Frame frame = m.encode();
        const ControlMessage back = ControlMessage::decode(frame);
        EXPECT_TRUE(ControlMessage::identical(back, m));
        EXPECT_EQ(back.encode(), frame);
    }
    // The comparison really looks at the bits: two different NaN payloads differ.
    EXPECT_FALSE(
        ControlMessage::identical(cm::PointerRelative{nanA, 0}, cm::PointerRelative{nanB, 0}));
    EXPECT_FALSE(
        ControlMessage::identical(cm::PointerRelative{0.0f, 0}, cm::PointerRelative{negZero, 0}));
}

TEST(ControlMessage, DescriptionNeverShowsSecretBytes) {
    const ControlMessage m = cm::PairResult{true, "D", Bytes(32, 0x41), Bytes(32, 0x42)};
    const std::string text = m.description();
    EXPECT_EQ(text, "pairResult(accepted: true, deviceID: \"D\", token: 32 bytes, hostSecret: 32 "
                    "bytes)");
}

// ---- input value types ----

template <typename E> void checkRawValues(const std::vector<E>& expectedOrder) {
    ASSERT_EQ(allCases<E>().size(), expectedOrder.size());
    for (std::size_t i = 0; i < expectedOrder.size(); ++i) {
        EXPECT_EQ(allCases<E>()[i], expectedOrder[i]);
        EXPECT_EQ(rawValue(expectedOrder[i]), i);
        EXPECT_EQ(fromRawValue<E>(static_cast<std::uint8_t>(i)), expectedOrder[i]);
    }
    for (int raw = static_cast<int>(expectedOrder.size()); raw < 256; ++raw) {
        EXPECT_EQ(fromRawValue<E>(static_cast<std::uint8_t>(raw)), std::nullopt) << raw;
    }
    std::unordered_set<E> hashed(expectedOrder.begin(), expectedOrder.end());
    EXPECT_EQ(hashed.size(), expectedOrder.size());
}

TEST(InputTypes, RawValuesInDeclarationOrder) {
    checkRawValues<MouseButton>({MouseButton::left, MouseButton::right, MouseButton::middle});
    checkRawValues<ScrollPhase>(
        {ScrollPhase::began, ScrollPhase::changed, ScrollPhase::ended, ScrollPhase::momentum});
    checkRawValues<OperatingMode>({OperatingMode::inputDevice, OperatingMode::remoteDesktop});
    checkRawValues<TrackpadGesture>(
        {TrackpadGesture::threeFingerUp, TrackpadGesture::threeFingerDown,
         TrackpadGesture::threeFingerLeft, TrackpadGesture::threeFingerRight,
         TrackpadGesture::pinchIn, TrackpadGesture::pinchOut, TrackpadGesture::fourFingerPinchIn,
         TrackpadGesture::smartZoom, TrackpadGesture::showDesktop});
    EXPECT_STREQ(caseName(TrackpadGesture::fourFingerPinchIn), "fourFingerPinchIn");
    EXPECT_EQ(fromCaseName<ScrollPhase>("momentum"), ScrollPhase::momentum);
    EXPECT_EQ(fromCaseName<ScrollPhase>("Momentum"), std::nullopt);
}

TEST(KeyModifiers, SetOperations) {
    using M = KeyModifiers;
    EXPECT_EQ(M::command.rawValue, 0x0001);
    EXPECT_EQ(M::shift.rawValue, 0x0002);
    EXPECT_EQ(M::option.rawValue, 0x0004);
    EXPECT_EQ(M::control.rawValue, 0x0008);

    const M cs(0x0003);
    EXPECT_TRUE(cs.contains(M::command));
    EXPECT_TRUE(cs.contains(M::shift));
    EXPECT_FALSE(cs.contains(M::option));
    EXPECT_TRUE(cs.contains(M{M::command, M::shift}));
    EXPECT_FALSE(cs.contains(M{M::command, M::option})); // all bits must be set
    EXPECT_TRUE(cs.contains(M()));

    const M unnamed(0x0100);
    for (M member : {M::command, M::shift, M::option, M::control}) {
        EXPECT_FALSE(unnamed.contains(member));
    }
    EXPECT_FALSE(unnamed.isEmpty());
    EXPECT_TRUE(M().isEmpty());
    const auto back =
        ControlMessage::decode(ControlMessage(cm::SetStickyModifiers{unnamed}).encode());
    EXPECT_EQ(back.as<cm::SetStickyModifiers>().modifiers.rawValue, 0x0100);

    struct Case {
        const char* name;
        M got;
        std::uint16_t raw;
    };
    const Case cases[] = {
        {"list", M{M::command, M::control}, 0x0009},
        {"list with repeats", M{M::shift, M::shift, M(0x8000)}, 0x8002},
        {"empty list", M{}, 0x0000},
        {"union", M::command.unionWith(M::control), 0x0009},
        {"| ", M::command | M::control, 0x0009},
        {"intersection", M(0x000F).intersection(M(0x0106)), 0x0006},
        {"symmetric difference", M(0x000F).symmetricDifference(M(0x0106)), 0x0109},
        {"subtracting", M(0x000F).subtracting(M(0x0106)), 0x0009},
        {"subtracting absent bits", M(0x0001) - M(0x0002), 0x0001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got.rawValue, c.raw);
    }

    EXPECT_TRUE(M::command.isSubset(cs));
    EXPECT_TRUE(cs.isSubset(cs));
    EXPECT_FALSE(cs.isSubset(M::command));
    EXPECT_TRUE(M().isSubset(M()));
    EXPECT_TRUE(cs.isDisjoint(M{M::option, M::control}));
    EXPECT_FALSE(cs.isDisjoint(M(0x0102)));

    M s;
    EXPECT_TRUE(s.insert(M::shift));
    EXPECT_FALSE(s.insert(M::shift));              // already there
    EXPECT_TRUE(s.insert(M{M::shift, M::option})); // partly new
    EXPECT_EQ(s.rawValue, 0x0006);
    EXPECT_EQ(s.remove(M{M::option, M::command}).rawValue, 0x0004); // returns what was there
    EXPECT_EQ(s.rawValue, 0x0002);
    EXPECT_EQ(s.remove(M::control).rawValue, 0x0000);
    EXPECT_EQ(s.update(M{M::shift, M::control}).rawValue, 0x0002);
    EXPECT_EQ(s.rawValue, 0x000A);

    EXPECT_EQ(M(0x0009), M::command | M::control);
    EXPECT_NE(M(0x0009), M(0x0109));
    std::unordered_set<M> set{M(1), M(1), M(0x0100), M()};
    EXPECT_EQ(set.size(), 3u);
}

} // namespace
