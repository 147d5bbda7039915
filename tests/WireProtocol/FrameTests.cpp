// test-labels: wire
#include "WireProtocol/ByteWriter.hpp"
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

using namespace quillon::wire;

// Every allocation in this test program goes through here, so a test can ask for the largest
// single request made while it watched. ThreadSanitizer's runtime defines the allocation
// operators itself (a second definition does not link): there the count is not kept.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLON_NO_ALLOCATION_COUNT 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define QUILLON_NO_ALLOCATION_COUNT 1
#endif

namespace {
std::atomic<bool> watching{false};
std::atomic<std::size_t> largestRequest{0};
} // namespace

#ifndef QUILLON_NO_ALLOCATION_COUNT
#include "tests/support/AllocationHook.hpp"

void quillon::testing::onAllocation(std::size_t size) {
    if (watching.load(std::memory_order_relaxed)) {
        std::size_t seen = largestRequest.load(std::memory_order_relaxed);
        while (size > seen && !largestRequest.compare_exchange_weak(seen, size)) {
        }
    }
}
#endif

namespace {

Bytes header(std::uint8_t type, std::uint32_t length) {
    return {type, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::optional<FrameDecodeError> errorOf(FrameDecoder& d) {
    try {
        d.nextFrame();
    } catch (const FrameDecodeError& e) {
        return e;
    }
    return std::nullopt;
}

TEST(FrameCodec, Layouts) {
    EXPECT_EQ(FrameCodec::encode(Frame{MessageType::heartbeat, {}}),
              (Bytes{0x1F, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(FrameCodec::encode(Frame{MessageType::mouseButton, {0xAA, 0xBB, 0xCC}}),
              (Bytes{0x12, 0x03, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC}));
    // No limit on the sending side: a frame over 4 MiB is encoded with its true length.
    const Bytes big(FrameCodec::maxPayloadSize + 1, 0x5A);
    const Bytes encoded = FrameCodec::encode(Frame{MessageType::applicationList, big});
    EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + 5), (Bytes{0x85, 0x01, 0x00, 0x40, 0x00}));
    EXPECT_EQ(encoded.size(), 5 + big.size());
}

// A length that does not fit the 32-bit field must not be written truncated (the peer would
// read the rest of the stream as garbage). The view is never read: the check comes first.
TEST(FrameCodec, LengthsBeyond32BitsAreRefused) {
    static const std::uint8_t byte = 0;
    const ByteView huge(&byte, std::size_t{1} << 32);
    Bytes out;
    EXPECT_THROW(FrameCodec::encodeInto(out, MessageType::applicationList, huge),
                 std::length_error);
    EXPECT_TRUE(out.empty());
    ByteWriter w;
    EXPECT_THROW(w.writeBytes(huge), std::length_error);
    EXPECT_TRUE(w.data().empty());
}

TEST(FrameCodec, TypeCodesMapBothWays) {
    int mapped = 0;
    for (int raw = 0; raw < 256; ++raw) {
        const auto type = messageTypeFromRaw(static_cast<std::uint8_t>(raw));
        if (type) {
            ++mapped;
            EXPECT_EQ(rawValue(*type), raw);
        }
    }
    EXPECT_EQ(mapped, 24);
    ASSERT_EQ(allMessageTypes.size(), 24u);
    EXPECT_EQ(allMessageTypes.front(), MessageType::pairRequest);
    EXPECT_EQ(allMessageTypes[9], MessageType::setQuality);
    EXPECT_EQ(allMessageTypes.back(), MessageType::error);
    for (std::uint8_t unassigned : {0x00, 0x03, 0x0F, 0x20, 0x80, 0x86, 0x8E, 0x90, 0xFF}) {
        EXPECT_FALSE(messageTypeFromRaw(unassigned)) << int(unassigned);
    }
}

TEST(FrameDecoder, HeartbeatEmptiesTheBuffer) {
    FrameDecoder d;
    d.append(Bytes{0x1F, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(d.nextFrame(), (Frame{MessageType::heartbeat, {}}));
    EXPECT_EQ(d.bufferedBytes(), 0u);
    EXPECT_EQ(d.nextFrame(), std::nullopt);
}

TEST(FrameDecoder, OneByteAtATime) {
    const Bytes payload = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0, 0, 0, 0};
    const Bytes stream = concat({header(0x10, 12), payload, header(0x1F, 0)});
    FrameDecoder d;
    std::vector<std::pair<std::size_t, Frame>> frames; // (index of the completing byte, frame)
    for (std::size_t i = 0; i < stream.size(); ++i) {
        d.append(ByteView(&stream[i], 1));
        while (auto f = d.nextFrame()) {
            frames.emplace_back(i, *f);
        }
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].first, 16u); // 4 + n bytes absent, the frame on byte 5 + n
    EXPECT_EQ(frames[0].second, (Frame{MessageType::pointerAbsolute, payload}));
    EXPECT_EQ(frames[1].first, 21u);
    EXPECT_EQ(frames[1].second, (Frame{MessageType::heartbeat, {}}));
    EXPECT_EQ(d.bufferedBytes(), 0u);
}

TEST(FrameDecoder, SeveralFramesInOneAppend) {
    FrameDecoder d;
    d.append(concat({header(0x12, 2), {0x01, 0x01}, header(0x84, 0), header(0x16, 1)}));
    EXPECT_EQ(d.nextFrame(), (Frame{MessageType::mouseButton, {0x01, 0x01}}));
    EXPECT_EQ(d.nextFrame(), (Frame{MessageType::heartbeatAck, {}}));
    EXPECT_EQ(d.nextFrame(), std::nullopt); // setMode header without its payload byte
    EXPECT_EQ(d.bufferedBytes(), 5u);
    d.append(Bytes{});
    EXPECT_EQ(d.nextFrame(), std::nullopt);
    d.append(Bytes{0x01});
    EXPECT_EQ(d.nextFrame(), (Frame{MessageType::setMode, {0x01}}));
    EXPECT_EQ(d.nextFrame(), std::nullopt);
}

// The limit is checked on the header alone and the offending header stays, so every later
// call fails the same way; 4 MiB itself is a legal frame.
TEST(FrameDecoder, PayloadLimit) {
    FrameDecoder rejected;
    rejected.append(Bytes{0x10, 0x01, 0x00, 0x40, 0x00});
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(errorOf(rejected), FrameDecodeError::payloadTooLarge(4'194'305));
    }
    // More bytes do not help, and they are not kept: an owner that goes on appending after the
    // error does not grow memory.
    for (int i = 0; i < 100; ++i) {
        rejected.append(Bytes(64 * 1024, 0));
    }
    EXPECT_EQ(errorOf(rejected), FrameDecodeError::payloadTooLarge(4'194'305));
    EXPECT_EQ(rejected.bufferedBytes(), 5u);

    // The header may arrive in pieces and with more bytes behind it in the same read.
    FrameDecoder split;
    split.append(Bytes{0x10, 0xFF});
    EXPECT_EQ(split.nextFrame(), std::nullopt);
    split.append(Bytes{0xFF, 0xFF, 0xFF, 1, 2, 3});
    EXPECT_EQ(errorOf(split), FrameDecodeError::payloadTooLarge(0xFFFFFFFF));
    split.append(Bytes(1000, 0));
    EXPECT_EQ(split.bufferedBytes(), 8u);

    FrameDecoder huge;
    huge.append(Bytes{0x10, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(errorOf(huge), FrameDecodeError::payloadTooLarge(0xFFFFFFFF));

    FrameDecoder accepted;
    accepted.append(header(0x10, FrameCodec::maxPayloadSize));
    EXPECT_EQ(accepted.nextFrame(), std::nullopt);
    Bytes payload(FrameCodec::maxPayloadSize, 0);
    payload[0] = 0x11;
    payload.back() = 0x22;
    accepted.append(ByteView(payload).first(payload.size() - 1));
    EXPECT_EQ(accepted.nextFrame(), std::nullopt);
    accepted.append(ByteView(payload).last(1));
    const auto frame = accepted.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->type, MessageType::pointerAbsolute);
    EXPECT_EQ(frame->payload, payload);
    EXPECT_EQ(accepted.bufferedBytes(), 0u);
}

TEST(FrameDecoder, ViewLimitBelowTheProtocolLimit) {
    FrameDecoder d;
    d.append(concat({header(0x02, 64), Bytes(64, 0)}));
    EXPECT_THROW(d.nextFrameView(63), FrameDecodeError);
    const auto view = d.nextFrameView(64);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->payload.size(), 64u);
}

TEST(FrameDecoder, UnknownTypesAreSkippedInStep) {
    FrameDecoder d;
    d.append(concat({header(0x20, 0),
                     header(0x00, 3),
                     {1, 2, 3},
                     header(0x1F, 0),
                     header(0xFF, 1),
                     {9},
                     header(0x17, 0)}));
    EXPECT_EQ(errorOf(d), FrameDecodeError::unknownMessageType(0x20));
    EXPECT_EQ(errorOf(d), FrameDecodeError::unknownMessageType(0x00));
    EXPECT_EQ(d.nextFrame(), (Frame{MessageType::heartbeat, {}}));
    EXPECT_EQ(errorOf(d), FrameDecodeError::unknownMessageType(0xFF));
    // A reserved code is a frame here; the message layer rejects it.
    EXPECT_EQ(d.nextFrame(), (Frame{MessageType::setQuality, {}}));
    EXPECT_EQ(d.nextFrame(), std::nullopt);

    // An unknown type is reported only once its whole frame is in, so the stream stays in step.
    FrameDecoder partial;
    partial.append(concat({header(0x30, 2), {0xAA}}));
    EXPECT_EQ(partial.nextFrame(), std::nullopt);
    partial.append(concat({{0xBB}, header(0x1D, 0)}));
    EXPECT_EQ(errorOf(partial), FrameDecodeError::unknownMessageType(0x30));
    EXPECT_EQ(partial.nextFrame(), (Frame{MessageType::listApplications, {}}));
}

// A peer that announces 4 MiB and sends nothing more must not make the decoder reserve 4 MiB;
// memory grows only with bytes that actually arrived.
TEST(FrameDecoder, DeclaredLengthAllocatesNothing) {
#ifdef QUILLON_NO_ALLOCATION_COUNT
    GTEST_SKIP() << "allocations are not counted under ThreadSanitizer";
#endif
    FrameDecoder d;
    largestRequest = 0;
    watching = true;
    d.append(header(0x85, FrameCodec::maxPayloadSize));
    const auto first = d.nextFrame();
    d.append(Bytes(1000, 0));
    const auto second = d.nextFrame();
    watching = false;
    EXPECT_EQ(first, std::nullopt);
    EXPECT_EQ(second, std::nullopt);
    EXPECT_LT(largestRequest.load(), 64u * 1024);

    // The same holds one layer up: an application list whose count claims the maximum.
    const Bytes listPayload = {0x00, 0x10, 0x00, 0x00}; // 4,096 entries, none present
    largestRequest = 0;
    watching = true;
    EXPECT_THROW(ControlMessage::decode(MessageType::applicationList, listPayload),
                 ControlMessageDecodeError);
    watching = false;
    EXPECT_LT(largestRequest.load(), 4096u);
}

// Consumed frames are dropped lazily; whatever the cut points, the frames come out whole and in
// order, across many compactions of the buffer.
TEST(FrameDecoder, ArbitraryCutsGiveTheSameFrames) {
    std::vector<Frame> sent;
    Bytes stream;
    for (std::uint32_t i = 0; i < 500; ++i) {
        Frame f{allMessageTypes[i % allMessageTypes.size()], Bytes(i * 7 % 300, 0)};
        for (std::size_t k = 0; k < f.payload.size(); ++k) {
            f.payload[k] = static_cast<std::uint8_t>(i + k);
        }
        FrameCodec::encodeInto(stream, f.type, f.payload);
        sent.push_back(std::move(f));
    }
    for (std::uint32_t seed : {1u, 7u, 1234u}) {
        SCOPED_TRACE(seed);
        FrameDecoder d;
        std::vector<Frame> received;
        std::uint32_t state = seed;
        for (std::size_t at = 0; at < stream.size();) {
            state = state * 1664525u + 1013904223u;
            const std::size_t chunk = std::min<std::size_t>(stream.size() - at, state >> 22);
            d.append(ByteView(stream).subspan(at, chunk));
            at += chunk;
            while (auto f = d.nextFrame()) {
                received.push_back(std::move(*f));
            }
        }
        EXPECT_EQ(received, sent);
        EXPECT_EQ(d.bufferedBytes(), 0u);
    }
}

// A copied or moved decoder goes on from the same place in its own bytes, whatever happens
// to the original afterwards; a moved-from decoder is empty and still usable.
TEST(FrameDecoder, CopiesAndMovesKeepTheirPlace) {
    const Bytes first = concat({header(0x12, 2), {0x00, 0x01}});
    const Bytes second = concat({header(0x16, 1), {0x01}});
    const Bytes third = concat({header(0x1B, 2), {0x02, 0x03}});
    auto primed = [&] {
        auto d = std::make_unique<FrameDecoder>();
        d->append(concat({first, second, Bytes(third.begin(), third.begin() + 4)}));
        EXPECT_EQ(d->nextFrame(), (Frame{MessageType::mouseButton, {0x00, 0x01}}));
        return d;
    };
    auto finish = [&](FrameDecoder& d) {
        EXPECT_EQ(d.nextFrame(), (Frame{MessageType::setMode, {0x01}}));
        EXPECT_EQ(d.nextFrame(), std::nullopt);
        d.append(ByteView(third).subspan(4));
        EXPECT_EQ(d.nextFrame(), (Frame{MessageType::multiClick, {0x02, 0x03}}));
        EXPECT_EQ(d.bufferedBytes(), 0u);
    };

    auto original = primed();
    FrameDecoder copied(*original);
    FrameDecoder copyAssigned;
    copyAssigned.append(second);
    copyAssigned = *original;
    FrameDecoder moved(std::move(*original));
    EXPECT_EQ(original->bufferedBytes(), 0u);
    original->append(second);
    EXPECT_EQ(original->nextFrame(), (Frame{MessageType::setMode, {0x01}}));
    original.reset(); // the copies must not point into its bytes
    finish(copied);
    finish(copyAssigned);
    finish(moved);

    auto source = primed();
    FrameDecoder moveAssigned;
    moveAssigned.append(first);
    moveAssigned = std::move(*source);
    source.reset();
    finish(moveAssigned);
}

} // namespace
