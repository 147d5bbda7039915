// corvane-client: a small client of the host's wire protocol. Pairs with a PIN, says hello,
// sends input messages and prints every reply, one per line. Used by the end-to-end tests and
// by anyone checking a host without the tablet.

#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "WireProtocol/Bytes.hpp"
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::wire;
using Clock = std::chrono::steady_clock;

namespace {

const char* kUsage = R"(usage:
  corvane-client pair --pin PIN --state FILE [--name NAME] [--host HOST --port PORT [--salt BASE64]]
                     [--service NAME]
  corvane-client hello --state FILE [--host HOST --port PORT | --service NAME] [options] [COMMAND...]
  corvane-client usb --state FILE [--listen PORT] [options] [COMMAND...]

pair     connects to the pairing service with the PIN the host shows, asks to pair and keeps the
         device identifier, token and host secret in FILE (created with mode 0600). Without
         --host/--port the pairing service is found through avahi; with them but without --salt
         the salt is still read from the service's TXT record.
hello    connects to the main service with the identity kept in FILE, says hello, then sends the
         COMMANDs given on the command line, or else one command per line from standard input,
         and prints every reply as a line. A heartbeat goes out every second. Without
         --host/--port the main service is found through avahi.
usb      plays the tablet on a cable: listens on 127.0.0.1:PORT (default 49281, the tablet's
         service port; 0 lets the system choose) as the tablet's client does on its device port,
         prints "listening PORT", waits for the host to connect through usbmuxd, then says hello
         over the plain stream and goes on as hello does. Point a usbmuxd (or a stand-in) at
         this port to test a host without an iPad.

--service NAME         when browsing, take only a service whose name starts with NAME (the
                       host's name; several hosts on one network)

hello and usb options:
  --no-heartbeat       send no automatic heartbeats (the host then closes the session)
  --linger SECONDS     after the last command keep printing replies this long (default 0.5)
  --version N          protocol version to announce in hello (default 2)

commands (one per line):
  move X Y [HOVER]            pointerAbsolute, X and Y in 0..1
  rel DX DY                   pointerRelative
  button left|right|middle down|up
  click left|right|middle COUNT
  scroll DX DY began|changed|ended|momentum
  magnify SCALE PHASE
  key KEYCODE [command] [shift] [option] [control]
  sticky [command] [shift] [option] [control]
  text TEXT                   the rest of the line
  gesture NAME                threeFingerUp, threeFingerDown, threeFingerLeft, threeFingerRight,
                              pinchIn, pinchOut, fourFingerPinchIn, smartZoom, showDesktop
  mode inputDevice|remoteDesktop
  list-apps                   listApplications
  activate BUNDLE_ID          activateApplication
  heartbeat                   (its heartbeatAck is printed)
  hello                       a second hello
  raw HEX                     bytes sent as they are
  sleep SECONDS               wait, still printing replies

replies are printed as:
  helloAck WIDTH HEIGHT SCALE
  heartbeatAck
  error CODE MESSAGE
  applicationList COUNT       followed by COUNT lines "app BUNDLE_ID<TAB>NAME<TAB>ICON_BYTES"
  displayInfoChanged WIDTH HEIGHT SCALE
  closed                      when the host ends the connection

exit status: 0 done, 1 refused by the host (an error reply to pair or hello), 2 cannot connect
or the connection ended early, 64 bad usage.
)";

struct Arguments {
    std::string mode;
    std::map<std::string, std::string> options;
    std::vector<std::string> flags;
    std::vector<std::string> positional;
};

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "corvane-client: " << message << "\n\n" << kUsage;
    std::exit(64);
}

Arguments parseArguments(int argc, char** argv) {
    Arguments args;
    if (argc < 2) {
        usageError("missing pair, hello or usb");
    }
    args.mode = argv[1];
    if (args.mode == "--help" || args.mode == "-h" || args.mode == "help") {
        std::cout << kUsage;
        std::exit(0);
    }
    static const std::vector<std::string> valued = {"--pin",     "--state", "--name",   "--host",
                                                    "--port",    "--salt",  "--linger", "--version",
                                                    "--service", "--listen"};
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (std::find(valued.begin(), valued.end(), a) != valued.end()) {
            if (i + 1 >= argc) {
                usageError(a + " needs a value");
            }
            args.options[a] = argv[++i];
        } else if (a == "--no-heartbeat") {
            args.flags.push_back(a);
        } else if (a.rfind("--", 0) == 0) {
            usageError("unknown option " + a);
        } else {
            args.positional.push_back(a);
        }
    }
    return args;
}

std::string option(const Arguments& args, const std::string& name,
                   const std::string& fallback = {}) {
    auto it = args.options.find(name);
    return it == args.options.end() ? fallback : it->second;
}

std::uint16_t parsePort(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value <= 0 || value > 65535) {
        usageError("bad port " + text);
    }
    return static_cast<std::uint16_t>(value);
}

std::string formatScale(float scale) {
    char buf[64];
    if (std::isfinite(scale) && std::floor(scale) == scale) {
        std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(scale));
    } else {
        std::snprintf(buf, sizeof buf, "%g", static_cast<double>(scale));
    }
    return buf;
}

// ---- state file ----

struct State {
    std::string deviceID;
    std::string deviceName;
    Bytes token;
    Bytes hostSecret;
};

void saveState(const std::string& path, const State& state) {
    const nlohmann::json json = {{"deviceID", state.deviceID},
                                 {"deviceName", state.deviceName},
                                 {"token", base64Encode(state.token)},
                                 {"hostSecret", base64Encode(state.hostSecret)}};
    const std::string text = json.dump(2) + "\n";
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0 ||
        ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        std::cerr << "corvane-client: cannot write " << path << "\n";
        std::exit(2);
    }
}

State loadState(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        usageError("cannot read state file " + path + " (pair first)");
    }
    State state;
    try {
        const auto json = nlohmann::json::parse(in);
        state.deviceID = json.at("deviceID").get<std::string>();
        state.deviceName = json.value("deviceName", std::string("corvane-client"));
        if (!base64Decode(json.at("token").get<std::string>(), state.token) ||
            !base64Decode(json.at("hostSecret").get<std::string>(), state.hostSecret)) {
            throw std::runtime_error("bad Base64");
        }
    } catch (const std::exception& e) {
        usageError("state file " + path + " is not valid: " + e.what());
    }
    return state;
}

// ---- replies ----

struct Printer {
    int explicitHeartbeats = 0;

    void print(const ControlMessage& message) {
        if (const auto* ack = message.getIf<cm::HelloAck>()) {
            std::cout << "helloAck " << ack->screenWidth << " " << ack->screenHeight << " "
                      << formatScale(ack->scale) << "\n";
        } else if (message.is<cm::HeartbeatAck>()) {
            if (explicitHeartbeats > 0) {
                --explicitHeartbeats;
                std::cout << "heartbeatAck\n";
            }
        } else if (const auto* error = message.getIf<cm::Error>()) {
            std::cout << "error " << error->code << " " << error->message << "\n";
        } else if (const auto* list = message.getIf<cm::ApplicationList>()) {
            std::cout << "applicationList " << list->entries.size() << "\n";
            for (const auto& e : list->entries) {
                std::cout << "app " << e.bundleID << "\t" << e.displayName << "\t"
                          << e.iconPNG.size() << "\n";
            }
        } else if (const auto* info = message.getIf<cm::DisplayInfoChanged>()) {
            std::cout << "displayInfoChanged " << info->screenWidth << " " << info->screenHeight
                      << " " << formatScale(info->scale) << "\n";
        } else if (const auto* result = message.getIf<cm::PairResult>()) {
            std::cout << "pairResult " << (result->accepted ? "accepted " : "refused ")
                      << result->deviceID << "\n";
        } else {
            std::cout << message.description() << "\n";
        }
        std::cout.flush();
    }
};

// ---- commands ----

std::optional<KeyModifiers> parseModifiers(std::istringstream& in) {
    KeyModifiers mods;
    std::string word;
    while (in >> word) {
        std::istringstream parts(word);
        std::string part;
        while (std::getline(parts, part, '+')) {
            if (part == "command" || part == "cmd") {
                mods.insert(KeyModifiers::command);
            } else if (part == "shift") {
                mods.insert(KeyModifiers::shift);
            } else if (part == "option" || part == "alt") {
                mods.insert(KeyModifiers::option);
            } else if (part == "control" || part == "ctrl") {
                mods.insert(KeyModifiers::control);
            } else if (!part.empty()) {
                return std::nullopt;
            }
        }
    }
    return mods;
}

template <typename E> std::optional<E> parseCase(std::istringstream& in) {
    std::string word;
    if (!(in >> word)) {
        return std::nullopt;
    }
    return fromCaseName<E>(word);
}

struct Command {
    enum class Kind { message, raw, sleep, heartbeat } kind = Kind::message;
    std::optional<ControlMessage> message;
    Bytes raw;
    double seconds = 0;
};

std::optional<Command> parseCommand(const std::string& line, const State& state,
                                    std::uint16_t version) {
    std::istringstream in(line);
    std::string verb;
    if (!(in >> verb)) {
        return std::nullopt;
    }
    Command c;
    auto message = [&](ControlMessage m) {
        c.message = std::move(m);
        return std::optional<Command>(c);
    };
    if (verb == "move") {
        float x, y, hover = 0;
        if (!(in >> x >> y)) {
            return std::nullopt;
        }
        in >> hover;
        return message(cm::PointerAbsolute{x, y, hover});
    }
    if (verb == "rel") {
        float dx, dy;
        if (!(in >> dx >> dy)) {
            return std::nullopt;
        }
        return message(cm::PointerRelative{dx, dy});
    }
    if (verb == "button") {
        auto button = parseCase<MouseButton>(in);
        std::string state;
        in >> state;
        if (!button || (state != "down" && state != "up")) {
            return std::nullopt;
        }
        return message(cm::MouseButton{*button, state == "down"});
    }
    if (verb == "click") {
        auto button = parseCase<MouseButton>(in);
        int count = 1;
        in >> count;
        if (!button || count < 0 || count > 255) {
            return std::nullopt;
        }
        return message(cm::MultiClick{*button, static_cast<std::uint8_t>(count)});
    }
    if (verb == "scroll" || verb == "magnify") {
        float a, b = 0;
        if (!(in >> a)) {
            return std::nullopt;
        }
        if (verb == "scroll" && !(in >> b)) {
            return std::nullopt;
        }
        auto phase = parseCase<ScrollPhase>(in);
        if (!phase) {
            return std::nullopt;
        }
        if (verb == "scroll") {
            return message(cm::Scroll{a, b, *phase});
        }
        return message(cm::Magnify{a, *phase});
    }
    if (verb == "key") {
        long code;
        if (!(in >> code) || code < 0 || code > 65535) {
            return std::nullopt;
        }
        auto mods = parseModifiers(in);
        if (!mods) {
            return std::nullopt;
        }
        return message(cm::KeyCombo{static_cast<std::uint16_t>(code), *mods});
    }
    if (verb == "sticky") {
        auto mods = parseModifiers(in);
        if (!mods) {
            return std::nullopt;
        }
        return message(cm::SetStickyModifiers{*mods});
    }
    if (verb == "text") {
        std::string text;
        std::getline(in, text);
        if (!text.empty() && text[0] == ' ') {
            text.erase(0, 1);
        }
        return message(cm::TextInput{text});
    }
    if (verb == "gesture") {
        auto gesture = parseCase<TrackpadGesture>(in);
        if (!gesture) {
            return std::nullopt;
        }
        return message(cm::Gesture{*gesture});
    }
    if (verb == "mode") {
        auto mode = parseCase<OperatingMode>(in);
        if (!mode) {
            return std::nullopt;
        }
        return message(cm::SetMode{*mode});
    }
    if (verb == "list-apps") {
        return message(cm::ListApplications{});
    }
    if (verb == "activate") {
        std::string id;
        if (!(in >> id)) {
            return std::nullopt;
        }
        return message(cm::ActivateApplication{id});
    }
    if (verb == "heartbeat") {
        c.kind = Command::Kind::heartbeat;
        return c;
    }
    if (verb == "hello") {
        return message(cm::Hello{state.deviceID, state.token, state.deviceName, version});
    }
    if (verb == "raw") {
        std::string hex, chunk;
        while (in >> chunk) {
            hex += chunk;
        }
        if (hex.size() % 2 != 0) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            char* end = nullptr;
            const std::string byte = hex.substr(i, 2);
            const long v = std::strtol(byte.c_str(), &end, 16);
            if (*end != '\0') {
                return std::nullopt;
            }
            c.raw.push_back(static_cast<std::uint8_t>(v));
        }
        c.kind = Command::Kind::raw;
        return c;
    }
    if (verb == "sleep") {
        if (!(in >> c.seconds) || !(c.seconds >= 0)) {
            return std::nullopt;
        }
        c.kind = Command::Kind::sleep;
        return c;
    }
    return std::nullopt;
}

// ---- links ----

// What the command loop talks through: the TLS session of the network or the plain stream of
// a cable. send() throws WireClientError when the connection is gone.
class Link {
public:
    virtual ~Link() = default;
    virtual void send(const ControlMessage& message) = 0;
    virtual void sendBytes(ByteView bytes) = 0;
    virtual std::optional<ControlMessage> receive(std::chrono::milliseconds timeout) = 0;
    virtual bool closed() const = 0;
    virtual int fd() const = 0;
};

class TLSLink : public Link {
public:
    explicit TLSLink(std::unique_ptr<WireClient> client) : client_(std::move(client)) {}
    void send(const ControlMessage& message) override { client_->send(message); }
    void sendBytes(ByteView bytes) override { client_->sendBytes(bytes); }
    std::optional<ControlMessage> receive(std::chrono::milliseconds timeout) override {
        return client_->receive(timeout);
    }
    bool closed() const override { return client_->closed(); }
    int fd() const override { return client_->fd(); }

private:
    std::unique_ptr<WireClient> client_;
};

class PlainLink : public Link {
public:
    explicit PlainLink(int fd) : fd_(fd) {}
    ~PlainLink() override { ::close(fd_); }
    void send(const ControlMessage& message) override {
        sendBytes(FrameCodec::encode(message.encode()));
    }
    void sendBytes(ByteView bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                closed_ = true;
                throw WireClientError("the host ended the connection");
            }
            done += static_cast<std::size_t>(n);
        }
    }
    std::optional<ControlMessage> receive(std::chrono::milliseconds timeout) override {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (auto frame = decoder_.nextFrame()) {
                return ControlMessage::decode(*frame);
            }
            if (closed_) {
                return std::nullopt;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0) {
                return std::nullopt;
            }
            std::uint8_t buffer[16384];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                continue; // frames already buffered are still handed out
            }
            decoder_.append(ByteView(buffer, static_cast<std::size_t>(n)));
        }
    }
    bool closed() const override { return closed_; }
    int fd() const override { return fd_; }

private:
    int fd_;
    bool closed_ = false;
    FrameDecoder decoder_;
};

// ---- modes ----

struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt;
};

Endpoint findEndpoint(const Arguments& args, const char* type, bool needTXT) {
    Endpoint endpoint;
    const std::string host = option(args, "--host");
    const std::string port = option(args, "--port");
    if (host.empty() != port.empty()) {
        usageError("--host and --port go together");
    }
    if (!host.empty()) {
        endpoint.host = host;
        endpoint.port = parsePort(port);
        if (!needTXT) {
            return endpoint;
        }
    }
    // Browse; with a given port, the service on that port.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        auto found = platform::discoverService(type, std::chrono::milliseconds(2000),
                                               option(args, "--service"));
        if (found && (endpoint.port == 0 || found->port == endpoint.port)) {
            if (endpoint.host.empty()) {
                endpoint.host = found->host;
                endpoint.port = found->port;
            }
            endpoint.txt = found->txt;
            return endpoint;
        }
    }
    std::cerr << "corvane-client: no " << type << " service found (is avahi-daemon running?)\n";
    std::exit(2);
}

int pairMode(const Arguments& args) {
    const std::string pin = option(args, "--pin");
    const std::string statePath = option(args, "--state");
    if (pin.size() != 6 || pin.find_first_not_of("0123456789") != std::string::npos) {
        usageError("--pin takes the six digits the host shows");
    }
    if (statePath.empty()) {
        usageError("--state FILE is required");
    }
    Bytes salt;
    const std::string saltText = option(args, "--salt");
    Endpoint endpoint;
    if (!saltText.empty()) {
        if (!base64Decode(saltText, salt)) {
            usageError("--salt is not Base64");
        }
        endpoint = findEndpoint(args, ServiceConstants::pairingBonjourType, false);
    } else {
        endpoint = findEndpoint(args, ServiceConstants::pairingBonjourType, true);
        for (const auto& [key, value] : endpoint.txt) {
            if (key == ServiceConstants::saltTXTKey && !base64Decode(value, salt)) {
                salt.clear();
            }
        }
        if (salt.empty()) {
            std::cerr << "corvane-client: the pairing service has no valid salt\n";
            return 2;
        }
    }
    State state;
    state.deviceName = option(args, "--name", "corvane-client");
    std::unique_ptr<WireClient> client;
    try {
        client =
            WireClient::connect(endpoint.host, endpoint.port, PSKProvider::pairingKey(pin, salt),
                                ServiceConstants::pairingIdentity);
        client->send(cm::PairRequest{state.deviceName});
    } catch (const WireClientError& e) {
        std::cerr << "corvane-client: " << e.what() << " (wrong PIN, or the window closed?)\n";
        return 2;
    }
    const auto reply = client->receive(std::chrono::seconds(10));
    if (!reply) {
        std::cout << "closed\n";
        return 2;
    }
    const auto* result = reply->getIf<cm::PairResult>();
    if (result == nullptr || !result->accepted) {
        Printer().print(*reply);
        return 1;
    }
    state.deviceID = result->deviceID;
    state.token = result->token;
    state.hostSecret = result->hostSecret;
    saveState(statePath, state);
    std::cout << "paired " << state.deviceID << "\n";
    return 0;
}

// Says hello on `client`, then runs the commands and prints the replies (hello and usb).
int runSession(const Arguments& args, const State& state, Link& link) {
    const int version = std::atoi(option(args, "--version", "2").c_str());
    const double linger = std::atof(option(args, "--linger", "0.5").c_str());
    const bool heartbeats =
        std::find(args.flags.begin(), args.flags.end(), "--no-heartbeat") == args.flags.end();
    Link* client = &link;
    try {
        client->send(cm::Hello{state.deviceID, state.token, state.deviceName,
                               static_cast<std::uint16_t>(version)});
    } catch (const WireClientError& e) {
        std::cerr << "corvane-client: " << e.what() << "\n";
        return 2;
    }
    Printer printer;
    const auto first = client->receive(std::chrono::seconds(10));
    if (!first) {
        std::cout << "closed\n";
        return 2;
    }
    printer.print(*first);
    if (!first->is<cm::HelloAck>()) {
        return 1;
    }

    std::deque<std::string> pending(args.positional.begin(), args.positional.end());
    bool readStdin = args.positional.empty();
    std::string stdinBuffer;
    auto nextHeartbeat = Clock::now() + std::chrono::seconds(1);
    auto resumeAt = Clock::now();
    std::optional<Clock::time_point> finishAt;

    for (;;) {
        const auto now = Clock::now();
        // Run commands until one makes us wait.
        while (!pending.empty() && now >= resumeAt) {
            const std::string line = pending.front();
            pending.pop_front();
            const auto command = parseCommand(line, state, static_cast<std::uint16_t>(version));
            if (!command) {
                if (line.find_first_not_of(" \t\r") != std::string::npos) {
                    std::cerr << "corvane-client: cannot understand: " << line << "\n";
                }
                continue;
            }
            try {
                switch (command->kind) {
                case Command::Kind::message:
                    client->send(*command->message);
                    break;
                case Command::Kind::raw:
                    client->sendBytes(command->raw);
                    break;
                case Command::Kind::heartbeat:
                    ++printer.explicitHeartbeats;
                    client->send(cm::Heartbeat{});
                    break;
                case Command::Kind::sleep:
                    resumeAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(command->seconds));
                    break;
                }
            } catch (const WireClientError&) {
                std::cout << "closed\n";
                return 2;
            }
        }
        if (pending.empty() && !readStdin && !finishAt && now >= resumeAt) {
            finishAt = now + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(linger));
        }
        if (finishAt && now >= *finishAt) {
            return 0;
        }
        if (heartbeats && now >= nextHeartbeat) {
            try {
                client->send(cm::Heartbeat{});
            } catch (const WireClientError&) {
                std::cout << "closed\n";
                return 2;
            }
            nextHeartbeat += std::chrono::seconds(1);
        }

        // Wait for the host, standard input, or the next deadline.
        auto wakeAt = now + std::chrono::seconds(1);
        if (heartbeats) {
            wakeAt = std::min(wakeAt, nextHeartbeat);
        }
        if (!pending.empty()) {
            wakeAt = std::min(wakeAt, resumeAt);
        }
        if (finishAt) {
            wakeAt = std::min(wakeAt, *finishAt);
        }
        pollfd fds[2] = {{client->fd(), POLLIN, 0}, {0, POLLIN, 0}};
        const int waitMs = static_cast<int>(std::max<long long>(
            0,
            std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - Clock::now()).count()));
        ::poll(fds, readStdin ? 2 : 1, waitMs);

        if (fds[0].revents != 0) {
            try {
                while (auto message = client->receive(std::chrono::milliseconds(0))) {
                    printer.print(*message);
                }
            } catch (const std::exception& e) {
                std::cerr << "corvane-client: undecodable reply: " << e.what() << "\n";
            }
            if (client->closed()) {
                std::cout << "closed\n";
                std::cout.flush();
                return pending.empty() && !readStdin ? 0 : 2;
            }
        }
        if (readStdin && fds[1].revents != 0) {
            char buf[4096];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                readStdin = false;
                if (!stdinBuffer.empty()) {
                    pending.push_back(stdinBuffer);
                    stdinBuffer.clear();
                }
            } else {
                stdinBuffer.append(buf, static_cast<std::size_t>(n));
                std::size_t newline;
                while ((newline = stdinBuffer.find('\n')) != std::string::npos) {
                    pending.push_back(stdinBuffer.substr(0, newline));
                    stdinBuffer.erase(0, newline + 1);
                }
            }
        }
    }
}

int helloMode(const Arguments& args) {
    const std::string statePath = option(args, "--state");
    if (statePath.empty()) {
        usageError("--state FILE is required");
    }
    const State state = loadState(statePath);
    const Endpoint endpoint = findEndpoint(args, ServiceConstants::bonjourType, false);
    std::unique_ptr<WireClient> client;
    try {
        client = WireClient::connect(endpoint.host, endpoint.port,
                                     PSKProvider::sessionKey(state.hostSecret),
                                     ServiceConstants::sessionIdentity);
    } catch (const WireClientError& e) {
        std::cerr << "corvane-client: " << e.what() << "\n";
        return 2;
    }
    TLSLink link(std::move(client));
    return runSession(args, state, link);
}

int usbMode(const Arguments& args) {
    const std::string statePath = option(args, "--state");
    if (statePath.empty()) {
        usageError("--state FILE is required");
    }
    const State state = loadState(statePath);
    const std::string portText = option(args, "--listen", "49281");
    const std::uint16_t port = portText == "0" ? 0 : parsePort(portText);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::cerr << "corvane-client: cannot listen on 127.0.0.1:" << port << ": "
                  << std::strerror(errno) << "\n";
        return 2;
    }
    std::cout << "listening " << ntohs(address.sin_port) << std::endl;
    int fd = -1;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    ::close(listener); // one connection, as one cable carries one session
    if (fd < 0) {
        std::cerr << "corvane-client: accept failed: " << std::strerror(errno) << "\n";
        return 2;
    }
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    std::cout << "connected" << std::endl;
    PlainLink link(fd);
    return runSession(args, state, link);
}

} // namespace

// libdbus takes its global and per-connection locks in either order depending on whether a
// connection is being opened or freed, so ThreadSanitizer reports a potential deadlock between
// avahi clients even within one thread. The report is about libdbus's own locks; without this a
// sanitizer build of any program that talks to avahi ends with a failure status.
extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libdbus-1.so\n";
}

int main(int argc, char** argv) {
    const Arguments args = parseArguments(argc, argv);
    if (args.mode == "pair") {
        return pairMode(args);
    }
    if (args.mode == "hello") {
        return helloMode(args);
    }
    if (args.mode == "usb") {
        return usbMode(args);
    }
    usageError("unknown mode " + args.mode);
}
