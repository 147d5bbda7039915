// The network transport against a bare TLS 1.3 PSK pair on loopback, in one run:
//   - heartbeat -> heartbeatAck round trip (p50, p99)
//   - one-way throughput of 17-byte input frames into a delegate that counts them, one frame per
//     TLS write and eight frames per write
//   - connect + handshake + hello -> helloAck
// The floor is a blocking OpenSSL server built here with the same TLS parameters that answers
// heartbeats, counts input frames and answers hello: what the wire costs with no host around it.
// Prints figures and ratios; never fails on time.

#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKParameters.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace quillon;
using namespace quillon::wire;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kRoundTrips = 20000;
constexpr int kFrames = 400000;
constexpr int kHandshakes = 300;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

Bytes frameBytes(const ControlMessage& m) {
    return FrameCodec::encode(m.encode());
}

// ---- the floor: a blocking OpenSSL server ----

class BareServer {
public:
    explicit BareServer(const SymmetricKey& key)
        : ctx_(PSKParameters::make(key, ServiceConstants::sessionIdentity,
                                   PSKParameters::Role::server)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(listener_, 64);
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~BareServer() {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    std::uint16_t port() const { return port_; }
    std::atomic<long> inputFrames{0};

private:
    void run() {
        while (!stopping_) {
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            PSKParameters::configureSocket(fd);
            SSL* ssl = SSL_new(ctx_.get());
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                serve(ssl);
            }
            ERR_clear_error();
            SSL_free(ssl);
            close(fd);
        }
    }

    void serve(SSL* ssl) {
        const Bytes ack = frameBytes(cm::HeartbeatAck{});
        const Bytes helloAck = frameBytes(cm::HelloAck{1920, 1080, 1.0F});
        std::vector<std::uint8_t> buffer;
        std::uint8_t chunk[65536];
        for (;;) {
            const int n = SSL_read(ssl, chunk, sizeof chunk);
            if (n <= 0) {
                return;
            }
            buffer.insert(buffer.end(), chunk, chunk + n);
            std::size_t at = 0;
            while (buffer.size() - at >= 5) {
                const std::uint32_t length = buffer[at + 1] | buffer[at + 2] << 8 |
                                             buffer[at + 3] << 16 |
                                             static_cast<std::uint32_t>(buffer[at + 4]) << 24;
                if (buffer.size() - at < 5 + length) {
                    break;
                }
                const std::uint8_t type = buffer[at];
                if (type == static_cast<std::uint8_t>(MessageType::heartbeat)) {
                    SSL_write(ssl, ack.data(), static_cast<int>(ack.size()));
                } else if (type == static_cast<std::uint8_t>(MessageType::hello)) {
                    SSL_write(ssl, helloAck.data(), static_cast<int>(helloAck.size()));
                } else {
                    inputFrames.fetch_add(1, std::memory_order_relaxed);
                }
                at += 5 + length;
            }
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(at));
        }
    }

    SSLContextPtr ctx_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// ---- the host ----

class CountingDelegate : public TransportEvents {
public:
    void transportAdmitted(const PairedDevice&, HostChannel) override {}
    void transportReceived(std::span<const ControlMessage> messages, const std::string&,
                           HostChannel) override {
        inputFrames.fetch_add(static_cast<long>(messages.size()), std::memory_order_relaxed);
    }
    void transportClosed(const std::string&, HostChannel) override {}
    std::atomic<long> inputFrames{0};
};

// ---- measurements, identical for both servers ----

struct Figures {
    double rttP50 = 0, rttP99 = 0;
    double framesPerSecondSingle = 0, framesPerSecondBatched = 0;
    double handshakeP50 = 0, handshakeP99 = 0;
};

template <typename Connect> Figures measure(Connect connect, const std::function<long()>& counted) {
    Figures f;
    auto client = connect();
    client->send(cm::Hello{});
    client->receive(5s); // helloAck (the host's, or the floor's)

    std::vector<double> rtt;
    rtt.reserve(kRoundTrips);
    const Bytes heartbeat = frameBytes(cm::Heartbeat{});
    for (int i = 0; i < kRoundTrips; ++i) {
        const auto start = Clock::now();
        client->sendBytes(heartbeat);
        client->receive(5s);
        rtt.push_back(micros(Clock::now() - start));
    }
    f.rttP50 = percentile(rtt, 0.50);
    f.rttP99 = percentile(rtt, 0.99);

    const Bytes input = frameBytes(cm::PointerAbsolute{0.25F, 0.75F, 0});
    if (input.size() != 17) {
        std::fprintf(stderr, "unexpected input frame size %zu\n", input.size());
    }
    auto throughput = [&](int perWrite) {
        Bytes batch;
        for (int i = 0; i < perWrite; ++i) {
            batch.insert(batch.end(), input.begin(), input.end());
        }
        const long before = counted();
        const auto start = Clock::now();
        for (int sent = 0; sent < kFrames; sent += perWrite) {
            client->sendBytes(batch);
            if (sent % 20000 == 0) {
                client->sendBytes(heartbeat); // stays alive on the host
            }
        }
        while (counted() - before < kFrames) {
            std::this_thread::sleep_for(50us);
            while (client->receive(0ms)) {
            }
        }
        return kFrames / std::chrono::duration<double>(Clock::now() - start).count();
    };
    f.framesPerSecondSingle = throughput(1);
    f.framesPerSecondBatched = throughput(8);
    client.reset();

    std::vector<double> handshakes;
    for (int i = 0; i < kHandshakes; ++i) {
        const auto start = Clock::now();
        auto c = connect();
        c->send(cm::Hello{});
        c->receive(5s);
        handshakes.push_back(micros(Clock::now() - start));
    }
    f.handshakeP50 = percentile(handshakes, 0.50);
    f.handshakeP99 = percentile(handshakes, 0.99);
    return f;
}

} // namespace

int main() {
    auto store = std::make_shared<InMemoryPairingStore>();
    auto delegate = std::make_shared<CountingDelegate>();
    TransportServerOptions options;
    TransportServer server(store, std::make_shared<platform::SerialQueue>("quillon-net"), options);
    server.setEvents(delegate);
    server.start();

    // Pair once; every connection to the host then says this device's hello.
    const std::string pin = server.beginPairing(
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    const auto state = server.pairingState();
    const Bytes salt = std::get<PairingSession::Open>(state).salt;
    auto pairing =
        WireClient::connect("127.0.0.1", *server.pairingPort(), PSKProvider::pairingKey(pin, salt),
                            ServiceConstants::pairingIdentity);
    pairing->send(cm::PairRequest{"bench"});
    const auto result = pairing->receive(5s)->as<cm::PairResult>();
    pairing.reset();
    const SymmetricKey key = PSKProvider::sessionKey(result.hostSecret);

    // Run the host's measurement with its real hello (the bare pair ignores hello contents).
    struct HelloClient {
        std::unique_ptr<WireClient> client;
        cm::Hello hello;
        void send(const ControlMessage& m) {
            if (m.is<cm::Hello>()) {
                client->send(hello);
            } else {
                client->send(m);
            }
        }
        void sendBytes(ByteView b) { client->sendBytes(b); }
        std::optional<ControlMessage> receive(std::chrono::milliseconds t) {
            return client->receive(t);
        }
    };
    const cm::Hello hello{result.deviceID, result.token, "bench", 2};
    const std::uint16_t hostPort = *server.mainPort();
    const Figures host = measure(
        [&] {
            return std::make_unique<HelloClient>(HelloClient{
                WireClient::connect("127.0.0.1", hostPort, key, ServiceConstants::sessionIdentity),
                hello});
        },
        [&] { return delegate->inputFrames.load(); });

    BareServer bare(key);
    const Figures floor = measure(
        [&] {
            return std::make_unique<HelloClient>(
                HelloClient{WireClient::connect("127.0.0.1", bare.port(), key,
                                                ServiceConstants::sessionIdentity),
                            hello});
        },
        [&] { return bare.inputFrames.load(); });

    std::printf("TransportBench (loopback, TLS 1.3 PSK, TLS_AES_128_GCM_SHA256)\n");
    std::printf("%-36s %14s %14s %8s\n", "", "host", "bare OpenSSL", "ratio");
    auto row = [](const char* name, double h, double b) {
        std::printf("%-36s %14.1f %14.1f %8.2f\n", name, h, b, b > 0 ? h / b : 0.0);
    };
    row("heartbeat round trip p50 (us)", host.rttP50, floor.rttP50);
    row("heartbeat round trip p99 (us)", host.rttP99, floor.rttP99);
    row("17-byte frames/s, 1 per write", host.framesPerSecondSingle, floor.framesPerSecondSingle);
    row("17-byte frames/s, 8 per write", host.framesPerSecondBatched, floor.framesPerSecondBatched);
    row("connect+handshake+hello p50 (us)", host.handshakeP50, floor.handshakeP50);
    row("connect+handshake+hello p99 (us)", host.handshakeP99, floor.handshakeP99);
    std::printf("(%d round trips, %d frames per throughput run, %d handshakes)\n", kRoundTrips,
                kFrames, kHandshakes);
    server.stop();
    return 0;
}
