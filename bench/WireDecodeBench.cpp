// Cost of turning one socket read into messages: FrameDecoder + ControlMessage::decode over a
// buffer of input frames delivered in one append, beside memcpy of the same bytes. Prints the
// ratio to memcpy (CPU time, best of the repetitions) at the end. Sizes from 16 KiB to 1 MiB show
// whether the cost is linear.
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

using namespace quillon::wire;

namespace {

// Whole frames, cycling through `messages`, up to `size` bytes.
Bytes buildBuffer(const std::vector<ControlMessage>& messages, std::size_t size,
                  std::size_t* frameCount) {
    Bytes out;
    std::size_t frames = 0;
    for (std::size_t i = 0;; ++i) {
        const Frame f = messages[i % messages.size()].encode();
        if (out.size() + FrameCodec::headerSize + f.payload.size() > size) {
            break;
        }
        FrameCodec::encodeInto(out, f.type, f.payload);
        ++frames;
    }
    *frameCount = frames;
    return out;
}

const std::vector<ControlMessage>& mixedInput() {
    static const std::vector<ControlMessage> messages = {
        cm::PointerAbsolute{512.5f, 384.25f, 0.0f},
        cm::PointerRelative{1.5f, -2.0f},
        cm::PointerRelative{0.5f, 0.75f},
        cm::MouseButton{MouseButton::left, true},
        cm::Scroll{0.0f, -3.0f, ScrollPhase::changed},
        cm::PointerRelative{-1.0f, 0.0f},
        cm::MouseButton{MouseButton::left, false},
        cm::KeyCombo{0x0024, KeyModifiers{KeyModifiers::command}},
        cm::TextInput{"hello 你好"},
        cm::Gesture{TrackpadGesture::threeFingerLeft},
        cm::Magnify{1.05f, ScrollPhase::changed},
        cm::MultiClick{MouseButton::left, 2},
        cm::SetStickyModifiers{KeyModifiers{KeyModifiers::shift}},
        cm::Heartbeat{},
    };
    return messages;
}

const std::vector<ControlMessage>& pointerInput() {
    static const std::vector<ControlMessage> messages = {
        cm::PointerRelative{1.5f, -2.0f},
        cm::PointerAbsolute{512.5f, 384.25f, 0.0f},
    };
    return messages;
}

void decodeBuffer(benchmark::State& state, const std::vector<ControlMessage>& messages) {
    std::size_t frames = 0;
    const Bytes buffer = buildBuffer(messages, static_cast<std::size_t>(state.range(0)), &frames);
    FrameDecoder decoder; // long-lived, as on a connection
    for (auto _ : state) {
        decoder.append(buffer);
        std::size_t decoded = 0;
        while (const auto view = decoder.nextFrameView()) {
            const ControlMessage m = ControlMessage::decode(*view);
            benchmark::DoNotOptimize(&m);
            ++decoded;
        }
        if (decoded != frames) {
            state.SkipWithError("frame count mismatch");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames),
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

// What a connection does with each message: decode it, then hand it to the code for its type
// (here: accumulate the pointer motion, count the rest), so dispatch is measured too.
void decodeAndDispatch(benchmark::State& state, const std::vector<ControlMessage>& messages) {
    std::size_t frames = 0;
    const Bytes buffer = buildBuffer(messages, static_cast<std::size_t>(state.range(0)), &frames);
    FrameDecoder decoder;
    float motion = 0;
    std::size_t others = 0;
    for (auto _ : state) {
        decoder.append(buffer);
        while (const auto view = decoder.nextFrameView()) {
            const ControlMessage m = ControlMessage::decode(*view);
            std::visit(
                [&](const auto& payload) {
                    using T = std::decay_t<decltype(payload)>;
                    if constexpr (std::is_same_v<T, cm::PointerRelative>) {
                        motion += payload.dx + payload.dy;
                    } else if constexpr (std::is_same_v<T, cm::PointerAbsolute>) {
                        motion += payload.x - payload.y;
                    } else {
                        ++others;
                    }
                },
                m.value());
            benchmark::DoNotOptimize(motion);
        }
    }
    benchmark::DoNotOptimize(others);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames),
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

// The framing layer alone: where the time goes when decoding is left out.
void frameBuffer(benchmark::State& state, const std::vector<ControlMessage>& messages) {
    std::size_t frames = 0;
    const Bytes buffer = buildBuffer(messages, static_cast<std::size_t>(state.range(0)), &frames);
    FrameDecoder decoder;
    for (auto _ : state) {
        decoder.append(buffer);
        while (const auto view = decoder.nextFrameView()) {
            benchmark::DoNotOptimize(view->payload.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames),
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

void copyBuffer(benchmark::State& state, const std::vector<ControlMessage>& messages) {
    std::size_t frames = 0;
    const Bytes buffer = buildBuffer(messages, static_cast<std::size_t>(state.range(0)), &frames);
    Bytes target(buffer.size());
    for (auto _ : state) {
        std::memcpy(target.data(), buffer.data(), buffer.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}

void BM_DecodeMixed(benchmark::State& s) {
    decodeBuffer(s, mixedInput());
}
void BM_MemcpyMixed(benchmark::State& s) {
    copyBuffer(s, mixedInput());
}
void BM_DecodePointer(benchmark::State& s) {
    decodeBuffer(s, pointerInput());
}
void BM_MemcpyPointer(benchmark::State& s) {
    copyBuffer(s, pointerInput());
}
void BM_DispatchPointer(benchmark::State& s) {
    decodeAndDispatch(s, pointerInput());
}
void BM_FramesOnlyPointer(benchmark::State& s) {
    frameBuffer(s, pointerInput());
}

BENCHMARK(BM_MemcpyMixed)->Arg(64 << 10);
BENCHMARK(BM_DecodeMixed)->Arg(64 << 10);
BENCHMARK(BM_MemcpyPointer)->Arg(64 << 10);
BENCHMARK(BM_FramesOnlyPointer)->Arg(64 << 10);
BENCHMARK(BM_DispatchPointer)->Arg(64 << 10);
BENCHMARK(BM_DecodePointer)->Arg(16 << 10)->Arg(64 << 10)->Arg(256 << 10)->Arg(1 << 20);

// Keeps the console output and remembers each benchmark's best time per iteration (over
// --benchmark_repetitions) for the summary.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) {
                continue;
            }
            // The best of the repetitions: on a shared machine the slower ones measure the
            // neighbours, not the code.
            const auto [it, inserted] =
                times.emplace(run.benchmark_name(), run.GetAdjustedCPUTime());
            if (!inserted && run.GetAdjustedCPUTime() < it->second) {
                it->second = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](const char* decode, const char* copy) {
        const auto d = reporter.times.find(decode);
        const auto c = reporter.times.find(copy);
        if (d != reporter.times.end() && c != reporter.times.end() && c->second > 0) {
            std::printf("%-28s %.1fx memcpy\n", decode, d->second / c->second);
        }
    };
    std::printf("\n");
    ratio("BM_DecodeMixed/65536", "BM_MemcpyMixed/65536");
    ratio("BM_DecodePointer/65536", "BM_MemcpyPointer/65536");
    ratio("BM_DispatchPointer/65536", "BM_MemcpyPointer/65536");
    ratio("BM_FramesOnlyPointer/65536", "BM_MemcpyPointer/65536");
    const auto small = reporter.times.find("BM_DecodePointer/16384");
    const auto large = reporter.times.find("BM_DecodePointer/1048576");
    if (small != reporter.times.end() && large != reporter.times.end()) {
        // 1 MiB is 64 times 16 KiB: a linear decoder stays near 64.
        std::printf("pointer decode 1 MiB / 16 KiB time: %.1f (linear: 64)\n",
                    large->second / small->second);
    }
    benchmark::Shutdown();
    return 0;
}
