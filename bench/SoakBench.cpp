// Soak: the attacks a hostile LAN peer can make, replayed on loopback against the network
// transport for a bounded time, with the host's resident memory, descriptors and threads printed
// before and after each. Not a CI test: run it by hand (build/release/bench/SoakBench
// [seconds per attack, default 20]). Prints figures; never fails on them.
//
//   1. waiting-connection cost: N connections that finished nothing (TCP only, then a partial
//      ClientHello), memory per connection;
//   2. admission floods: idle connections from 4 addresses (500 in all, main listener) and from
//      63 addresses x 250 on both listeners (about 31,500, in two attacker processes with
//      non-blocking connects), reopened as fast as the host closes them, while a real client
//      says hello 60 times and pairs 6 times (how many succeed within 1 s, and how fast);
//   3. a client that asks for the application list 13,000 times and never reads (the delegate
//      answers each with a 60 KB list, as a catalog with icons would, with no coalescing);
//   4. 32 admitted sessions of one device announcing 4 MiB frames;
//   5. the cable: the host's threads before and after a tablet is plugged in (through the
//      tests' usbmuxd stand-in), then a cable tablet (a cable connection over a socket pair, on
//      the I/O queue the network transport uses) that asks for the application list every
//      20 ms and never reads: the host's peak memory and whether the tablet is disconnected.
//
// Source addresses 127.0.0.x need no set-up on Linux (the whole 127/8 is local). The
// descriptor limit is raised to the hard limit; the attackers run in processes of their own,
// so each has the whole limit.

#include "Platform/Dispatch/SerialQueue.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Transport/Connection.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "Quillon/Transport/USBTransportManager.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/ProcessUsage.hpp"
#include "tests/support/UsbmuxStandIn.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace quillon;
using namespace quillon::wire;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using Usage = quillon::testing::ProcessUsage;
using quillon::testing::processUsage;

void report(const char* what, const Usage& before, const Usage& after) {
    std::printf("  %-44s RSS %7.1f -> %7.1f MB (%+.1f)  fds %4ld -> %4ld  threads %3ld -> %3ld\n",
                what, before.rssKiB / 1024.0, after.rssKiB / 1024.0,
                (after.rssKiB - before.rssKiB) / 1024.0, before.descriptors, after.descriptors,
                before.threads, after.threads);
}

// Answers listApplications as the coordinator does: one list in flight (built in 2 ms on
// another thread, 60 KB as a catalog with icons), later requests answered by it; the next one
// after the answer builds a new list. What the peer does not read, the transport must bound.
class Delegate : public TransportEvents {
public:
    TransportServer* server = nullptr;
    std::atomic<int> disconnects{0};
    std::atomic<int> lists{0};
    std::atomic<bool> building{false};
    std::atomic<int> builders{0};
    ~Delegate() override {
        while (builders > 0) {
            std::this_thread::sleep_for(1ms);
        }
    }
    void transportAdmitted(const PairedDevice&, HostChannel) override {}
    void transportReceived(std::span<const ControlMessage> messages, const std::string& deviceID,
                           HostChannel) override {
        for (const auto& message : messages) {
            received(message, deviceID);
        }
    }
    void received(const ControlMessage& message, const std::string& deviceID) {
        if (!message.is<cm::ListApplications>() || server == nullptr || building.exchange(true)) {
            return;
        }
        ++builders;
        std::thread([this, deviceID] {
            std::this_thread::sleep_for(2ms);
            ++lists;
            server->send(cm::ApplicationList{{{"App", "org.example.App", Bytes(60000, 0x5A)}}},
                         deviceID);
            building = false;
            --builders;
        }).detach();
    }
    void transportClosed(const std::string&, HostChannel) override { ++disconnects; }
};

// The cable transport's events (the plug-in check needs none).
class CableDelegate : public TransportEvents {
public:
    void transportAdmitted(const PairedDevice&, HostChannel) override {}
    void transportReceived(std::span<const ControlMessage>, const std::string&,
                           HostChannel) override {}
    void transportClosed(const std::string&, HostChannel) override {}
};

// A cable connection's owner that answers as the host does: a 60 KB list for each read that
// asks for one (the host builds one list at a time, in about the time a read takes).
class CableOwner : public ConnectionOwner {
public:
    std::atomic<bool> closed{false};
    std::atomic<int> lists{0};
    void connectionAdmitted(Connection&, const PairedDevice&) override {}
    void connectionReceived(Connection& c, std::span<const ControlMessage> messages,
                            const std::string&) override {
        for (const auto& m : messages) {
            if (m.is<cm::ListApplications>()) {
                ++lists;
                c.send(cm::ApplicationList{{{"App", "org.example.App", Bytes(60000, 0x5A)}}});
                return;
            }
        }
    }
    void connectionClosed(Connection&) override { closed = true; }
};

// The threads of this process but the usbmuxd stand-in's.
long hostThreads() {
    long n = 0;
    DIR* dir = ::opendir("/proc/self/task");
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        n += name != testing::UsbmuxStandIn::kThreadName ? 1 : 0;
    }
    if (dir) {
        ::closedir(dir);
    }
    return n;
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Credentials {
    std::string deviceID;
    Bytes token;
    Bytes secret;
};

Credentials pair(TransportServer& server, const std::string& source) {
    const std::string pin = server.beginPairing(nowSeconds());
    const auto state = server.pairingState();
    const Bytes salt = std::get<PairingSession::Open>(state).salt;
    WireClient::Options options;
    options.sourceAddress = source;
    options.timeout = 2000ms;
    auto client =
        WireClient::connect("127.0.0.1", *server.pairingPort(), PSKProvider::pairingKey(pin, salt),
                            ServiceConstants::pairingIdentity, options);
    client->send(cm::PairRequest{"soak"});
    auto reply = client->receive(2s);
    if (!reply || !reply->is<cm::PairResult>()) {
        throw std::runtime_error("pairing failed");
    }
    const auto& r = reply->as<cm::PairResult>();
    server.endPairing();
    return {r.deviceID, r.token, r.hostSecret};
}

std::unique_ptr<WireClient> hello(TransportServer& server, const Credentials& c,
                                  const std::string& source) {
    WireClient::Options options;
    options.sourceAddress = source;
    options.timeout = 1000ms;
    auto client =
        WireClient::connect("127.0.0.1", *server.mainPort(), PSKProvider::sessionKey(c.secret),
                            ServiceConstants::sessionIdentity, options);
    client->send(cm::Hello{c.deviceID, c.token, "soak", 2});
    auto ack = client->receive(1s);
    if (!ack || !ack->is<cm::HelloAck>()) {
        return nullptr;
    }
    return client;
}

// Opens idle connections from `sources` in turn, reopening each as soon as the host closes it,
// until `stop`.
void flood(std::uint16_t port, const std::vector<std::string>& sources, int count,
           std::atomic<bool>& stop, std::atomic<long>& opened) {
    std::vector<int> fds(static_cast<std::size_t>(count), -1);
    std::size_t next = 0;
    while (!stop) {
        for (std::size_t i = 0; i < fds.size() && !stop; ++i) {
            if (fds[i] >= 0) {
                char byte;
                const ssize_t n = ::recv(fds[i], &byte, 1, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    ::close(fds[i]);
                    fds[i] = -1;
                }
            }
            if (fds[i] < 0) {
                fds[i] = connectTCP("127.0.0.1", port, sources[next++ % sources.size()], 200ms);
                if (fds[i] >= 0) {
                    ++opened;
                }
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    for (int fd : fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// A non-blocking connect from `source` to 127.0.0.1:port; -1 when no socket could be made.
int startConnect(std::uint16_t port, const std::string& source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// An attacker process: keeps `perAddress` idle connections from each of `addresses` open to
// the port in `*port` (read again every pass: a pairing listener moves with each window),
// reopening each as soon as the host closes it. Ends when killed.
pid_t startFloodProcess(const std::atomic<int>* port, int addresses, int perAddress,
                        const std::string& prefix) {
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    raiseDescriptorLimit();
    std::vector<int> fds(static_cast<std::size_t>(addresses * perAddress), -1);
    int current = -1;
    for (;;) {
        const int target = port->load();
        if (target != current) {
            for (int& fd : fds) {
                if (fd >= 0) {
                    ::close(fd);
                    fd = -1;
                }
            }
            current = target;
        }
        for (std::size_t i = 0; i < fds.size() && current > 0; ++i) {
            if (fds[i] >= 0) {
                char byte;
                const ssize_t n = ::recv(fds[i], &byte, 1, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    ::close(fds[i]);
                    fds[i] = -1;
                }
            }
            if (fds[i] < 0) {
                fds[i] = startConnect(static_cast<std::uint16_t>(current),
                                      prefix + std::to_string(1 + i % addresses));
            }
        }
        std::this_thread::sleep_for(5ms);
    }
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    raiseDescriptorLimit();
    auto store = std::make_shared<InMemoryPairingStore>();
    auto delegate = std::make_shared<Delegate>();
    TransportServerOptions options;
    auto io = std::make_shared<platform::SerialQueue>("quillon-net");
    auto server = std::make_unique<TransportServer>(store, io, options);
    delegate->server = server.get();
    server->setEvents(delegate);
    server->start();
    const Credentials creds = pair(*server, "127.0.0.2");
    std::printf("soak, %d s per attack\n", seconds);

    // 1. What one waiting connection costs.
    {
        const int n = 60; // within the main budget, so none is displaced
        const Usage before = processUsage();
        std::vector<int> fds;
        std::vector<std::unique_ptr<WireClient>> secured;
        for (int i = 0; i < n; ++i) {
            WireClient::Options o;
            o.sourceAddress = "127.0.1." + std::to_string(i + 1);
            auto c = WireClient::connect("127.0.0.1", *server->mainPort(),
                                         PSKProvider::sessionKey(creds.secret),
                                         ServiceConstants::sessionIdentity, o);
            Bytes partial{0x02, 0xFF, 0xFF, 0x00, 0x00}; // a hello of 65535 bytes, cut short
            partial.resize(partial.size() + 65000, 0xAB);
            c->sendBytes(partial);
            secured.push_back(std::move(c));
        }
        std::this_thread::sleep_for(500ms);
        const Usage after = processUsage();
        report("60 waiting connections with 64 KB frames", before, after);
        std::printf("  one waiting connection (TLS done, frame buffered, client side included): "
                    "%.1f KiB\n",
                    static_cast<double>(after.rssKiB - before.rssKiB) / n);
        secured.clear();
        std::this_thread::sleep_for(300ms);
    }

    // 2. Admission floods.
    for (const int addresses : {4}) {
        std::vector<std::string> sources;
        for (int i = 0; i < addresses; ++i) {
            sources.push_back("127.0.2." + std::to_string(i + 1));
        }
        const Usage before = processUsage();
        std::atomic<bool> stop{false};
        std::atomic<long> opened{0};
        std::thread attacker([&] { flood(*server->mainPort(), sources, 500, stop, opened); });
        std::this_thread::sleep_for(1s);
        int ok = 0;
        double worstMs = 0;
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        int attempts = 0;
        while (attempts < 10 || Clock::now() < end) {
            const auto t0 = Clock::now();
            std::unique_ptr<WireClient> client;
            try {
                client = hello(*server, creds, "127.0.0.3");
            } catch (const std::exception&) {
            }
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            ++attempts;
            if (client && ms < 1000) {
                ++ok;
            }
            worstMs = std::max(worstMs, ms);
            if (attempts >= 10 && Clock::now() >= end) {
                break;
            }
            std::this_thread::sleep_for(200ms);
        }
        bool paired = false;
        try {
            pair(*server, "127.0.0.4");
            paired = true;
        } catch (const std::exception&) {
        }
        stop = true;
        attacker.join();
        std::this_thread::sleep_for(500ms);
        char what[96];
        std::snprintf(what, sizeof what, "flood of 500 from %d addresses", addresses);
        report(what, before, processUsage());
        std::printf("  hello within 1 s: %d of %d (worst %.0f ms); pairing %s; %ld connections "
                    "opened by the attacker\n",
                    ok, attempts, worstMs, paired ? "succeeded" : "FAILED", opened.load());
    }

    // 2b. 63 addresses x 250 idle connections on both listeners, in two attacker processes.
    {
        auto* ports = static_cast<std::atomic<int>*>(::mmap(nullptr, 2 * sizeof(std::atomic<int>),
                                                            PROT_READ | PROT_WRITE,
                                                            MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        new (&ports[0]) std::atomic<int>(*server->mainPort());
        new (&ports[1]) std::atomic<int>(-1);
        const Usage before = processUsage();
        const pid_t mainFlood = startFloodProcess(&ports[0], 63, 250, "127.0.7.");
        const pid_t pairingFlood = startFloodProcess(&ports[1], 63, 250, "127.0.8.");
        std::this_thread::sleep_for(3s);
        int hellos = 0;
        int fast = 0;
        int pairings = 0;
        int paired = 0;
        double worstHelloMs = 0;
        double worstPairMs = 0;
        long peak = 0;
        for (int attempt = 0; attempt < 60; ++attempt) {
            if (attempt % 10 == 0) {
                // A pairing window, flooded as soon as it is open.
                const std::string pin = server->beginPairing(nowSeconds());
                ports[1] = *server->pairingPort();
                std::this_thread::sleep_for(1s);
                const Bytes salt = std::get<PairingSession::Open>(server->pairingState()).salt;
                const auto t0 = Clock::now();
                ++pairings;
                try {
                    WireClient::Options o;
                    o.sourceAddress = "127.0.0.4";
                    o.timeout = 5000ms;
                    auto c = WireClient::connect("127.0.0.1", *server->pairingPort(),
                                                 PSKProvider::pairingKey(pin, salt),
                                                 ServiceConstants::pairingIdentity, o);
                    c->send(cm::PairRequest{"flooded"});
                    auto reply = c->receive(5s);
                    paired += reply && reply->is<cm::PairResult>() ? 1 : 0;
                } catch (const std::exception&) {
                }
                worstPairMs =
                    std::max(worstPairMs,
                             std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                server->endPairing();
            }
            const auto t0 = Clock::now();
            std::unique_ptr<WireClient> client;
            try {
                client = hello(*server, creds, "127.0.0.3");
            } catch (const std::exception&) {
            }
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            ++hellos;
            fast += client && ms < 1000 ? 1 : 0;
            worstHelloMs = std::max(worstHelloMs, ms);
            peak = std::max(peak, processUsage().rssKiB);
            std::this_thread::sleep_for(200ms);
        }
        ::kill(mainFlood, SIGKILL);
        ::kill(pairingFlood, SIGKILL);
        ::waitpid(mainFlood, nullptr, 0);
        ::waitpid(pairingFlood, nullptr, 0);
        ::munmap(ports, 2 * sizeof(std::atomic<int>));
        std::this_thread::sleep_for(1s);
        report("flood of 63 addresses x 250, both listeners", before, processUsage());
        std::printf("  hello within 1 s: %d of %d (worst %.0f ms); pairings %d of %d (worst %.0f "
                    "ms); peak RSS %+.1f MB\n",
                    fast, hellos, worstHelloMs, paired, pairings, worstPairMs,
                    (peak - before.rssKiB) / 1024.0);
    }

    // 3. listApplications from a client that never reads.
    {
        const Usage before = processUsage();
        auto client = hello(*server, creds, "127.0.0.5");
        const int disconnectsBefore = delegate->disconnects;
        // Spread over the period (a burst would be answered by one list): each request after
        // the last answer builds a new list that the client never takes.
        Bytes request;
        FrameCodec::encodeInto(request, MessageType::listApplications, {});
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        long peak = 0;
        int sent = 0;
        try {
            for (; sent < 13000 && Clock::now() < end && delegate->disconnects == disconnectsBefore;
                 ++sent) {
                client->sendBytes(request);
                if (sent % 100 == 0) {
                    peak = std::max(peak, processUsage().rssKiB);
                }
                std::this_thread::sleep_for(500us);
            }
        } catch (const std::exception&) {
            // the host closed the connection under the client
        }
        std::this_thread::sleep_for(500ms);
        peak = std::max(peak, processUsage().rssKiB);
        // Still responsive: a new session says hello.
        const bool responsive = hello(*server, creds, "127.0.0.6") != nullptr;
        report("13,000 listApplications, never read", before, processUsage());
        std::printf("  requests sent %d; peak RSS %+.1f MB; lists answered %d; disconnected: %s; "
                    "responsive: %s\n",
                    sent, (peak - before.rssKiB) / 1024.0, delegate->lists.load(),
                    delegate->disconnects > disconnectsBefore ? "yes" : "no",
                    responsive ? "yes" : "no");
    }

    // 4. 32 admitted sessions announcing 4 MiB frames.
    {
        const Usage before = processUsage();
        std::vector<std::unique_ptr<WireClient>> sessions;
        for (int i = 0; i < 32; ++i) {
            if (auto c = hello(*server, creds, "127.0.3." + std::to_string(i + 1))) {
                sessions.push_back(std::move(c));
            }
        }
        long peak = 0;
        for (auto& c : sessions) {
            Bytes bytes{0x15, 0x00, 0x00, 0x40, 0x00};
            bytes.resize(bytes.size() + (4u << 20) - 1, 'a');
            try {
                c->sendBytes(bytes);
            } catch (const std::exception&) {
            }
            peak = std::max(peak, processUsage().rssKiB);
        }
        std::this_thread::sleep_for(1s);
        peak = std::max(peak, processUsage().rssKiB);
        const auto stats = server->statistics();
        const bool responsive = hello(*server, creds, "127.0.0.7") != nullptr;
        report("32 sessions announcing 4 MiB frames", before, processUsage());
        std::printf("  admitted %zu; peak RSS %+.1f MB; host still holds %zu sessions, %.1f MB "
                    "buffered; responsive: %s\n",
                    sessions.size(), (peak - before.rssKiB) / 1024.0, stats.sessions,
                    stats.bufferedBytes / 1048576.0, responsive ? "yes" : "no");
    }

    // 5. The cable: the host's threads before and after a tablet is plugged in (through the
    // usbmuxd stand-in), then a cable tablet that asks for the application list and never reads.
    // The attack runs over a socket pair straight into a cable connection on the same I/O
    // queue: a relay's buffers would take megabytes before the host held any.
    {
        testing::TempDir dir;
        testing::UsbmuxStandIn mux(dir.path() + "/usbmuxd");
        testing::TabletListener tablet;
        auto cableEvents = std::make_shared<CableDelegate>();
        USBTransportOptions usbOptions;
        usbOptions.mux.socketPath = mux.socketPath();
        usbOptions.pollInterval = 100ms;
        auto usb = USBTransportManager::create(store, io, usbOptions);
        usb->setEvents(cableEvents);
        usb->start();
        mux.waitForRequests(2, 5s); // polling, nothing plugged in
        const long threadsBefore = hostThreads();
        mux.attach({3, "SOAK", "USB", tablet.port()});
        auto stream = tablet.accept(5s);
        bool admitted = false;
        if (stream && stream->send(cm::Hello{creds.deviceID, creds.token, "cable", 2})) {
            admitted = stream->receive(5s).has_value();
        }
        const long threadsAfter = hostThreads();
        std::printf("  host threads: %ld before the cable is plugged in, %ld with the tablet "
                    "admitted (%s)\n",
                    threadsBefore, threadsAfter, admitted ? "admitted" : "NOT admitted");
        usb->stop();
        usb->snapshot();
        usb.reset();
        stream.reset();
    }
    {
        const Usage before = processUsage();
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        CableOwner owner;
        SessionServices services{*store,
                                 [] {
                                     return std::chrono::duration<double>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                         .count();
                                 },
                                 [] {
                                     return cm::HelloAck{1, 1, 1.0F};
                                 },
                                 nullptr, nullptr};
        ConnectionBuffers buffers;
        std::shared_ptr<Connection> cable;
        io->sync([&] {
            Connection::Socket socket(io->context());
            socket.assign(asio::generic::stream_protocol(AF_UNIX, 0), fds[0]);
            socket.non_blocking(true);
            Connection::Options o;
            o.rules = SessionRules::usb();
            o.writeStallLimit = 3000ms; // the cable transport's
            cable = Connection::create(std::move(socket), o, services, buffers, owner);
            cable->start();
        });
        Bytes hello;
        const wire::Frame helloFrame =
            ControlMessage(cm::Hello{creds.deviceID, creds.token, "cable", 2}).encode();
        FrameCodec::encodeInto(hello, helloFrame.type, helloFrame.payload);
        ::send(fds[1], hello.data(), hello.size(), MSG_NOSIGNAL);
        Bytes request;
        FrameCodec::encodeInto(request, MessageType::listApplications, {});
        long peak = 0;
        const auto t0 = Clock::now();
        double closedAfter = -1;
        while (Clock::now() - t0 < std::chrono::seconds(std::min(seconds, 30))) {
            ::send(fds[1], request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            peak = std::max(peak, processUsage().rssKiB);
            if (owner.closed && closedAfter < 0) {
                closedAfter = std::chrono::duration<double>(Clock::now() - t0).count();
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        io->sync([&] {
            cable->closeQuietly();
            cable.reset();
        });
        ::close(fds[1]);
        std::this_thread::sleep_for(500ms);
        report("cable tablet that never reads its lists", before, processUsage());
        std::printf("  lists answered %d; peak RSS %+.1f MB; disconnected: %s\n",
                    owner.lists.load(), (peak - before.rssKiB) / 1024.0,
                    closedAfter >= 0 ? ("yes, after " + std::to_string(closedAfter) + " s").c_str()
                                     : "no");
    }

    server->stop();
    delegate->server = nullptr;
    std::this_thread::sleep_for(300ms);
    while (delegate->builders > 0) {
        std::this_thread::sleep_for(1ms);
    }
    report("at the end (from nothing)", Usage{}, processUsage());
    return 0;
}
