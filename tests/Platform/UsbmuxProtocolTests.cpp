// test-labels: usb
// test-language: zh_CN
#include "Platform/Usbmux/USBMuxProtocol.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillon::platform::usbmux {
namespace {

namespace P = USBMuxProtocol;
using Device = P::Device;

// What the daemon parses: an XML 1.0 plist with tab indents, keys in sorted order.
constexpr const char* listDevicesXML = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                       "<plist version=\"1.0\">\n"
                                       "<dict>\n"
                                       "\t<key>ClientVersionString</key>\n"
                                       "\t<string>Corvane</string>\n"
                                       "\t<key>MessageType</key>\n"
                                       "\t<string>ListDevices</string>\n"
                                       "\t<key>ProgName</key>\n"
                                       "\t<string>Corvane</string>\n"
                                       "</dict>\n"
                                       "</plist>\n";

wire::Bytes header(std::uint32_t length, std::uint32_t tag) {
    wire::Bytes out;
    for (std::uint32_t v : {length, 1u, 8u, tag}) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    return out;
}

wire::Bytes withHeader(std::string_view payload, std::uint32_t tag = 1) {
    auto out = header(static_cast<std::uint32_t>(16 + payload.size()), tag);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TEST(USBMuxProtocol, ListDevicesRequestWithTagOneByteForByte) {
    const std::string xml = listDevicesXML;
    EXPECT_EQ(P::encode(P::listDevices(), 1), withHeader(xml, 1));
    const auto bytes = P::encode(P::listDevices(), 1);
    EXPECT_EQ(P::totalLength(bytes), 16 + xml.size());
    EXPECT_EQ(P::decode(bytes), P::listDevices()) << "what we write, we read";
}

TEST(USBMuxProtocol, ConnectRequestCarriesThePortByteSwapped) {
    struct Case {
        std::uint16_t port;
        std::int64_t sent;
    };
    for (const Case c :
         {Case{49281, 33216}, Case{1, 256}, Case{0x1234, 0x3412}, Case{0, 0}, Case{65535, 65535}}) {
        SCOPED_TRACE(c.port);
        const auto request = P::connect(42, c.port);
        EXPECT_EQ(request, (PlistDictionary{{"MessageType", "Connect"},
                                            {"ClientVersionString", "Corvane"},
                                            {"ProgName", "Corvane"},
                                            {"DeviceID", std::int64_t{42}},
                                            {"PortNumber", c.sent}}));
        EXPECT_EQ(P::decode(P::encode(request, 7)), request);
    }
    const auto bytes = P::encode(P::connect(3, 49281), 0xFFFFFFFF);
    EXPECT_EQ(wire::loadLE32(bytes.data() + 12), 0xFFFFFFFFu);
    const std::string text(bytes.begin() + 16, bytes.end());
    EXPECT_NE(text.find("<key>PortNumber</key>\n\t<integer>33216</integer>"), std::string::npos);
}

PlistDictionary properties(std::int64_t id, std::optional<std::string> serial,
                           std::optional<std::string> type) {
    PlistDictionary p{{"DeviceID", id}, {"LocationID", std::int64_t{0}}};
    if (serial) {
        p["SerialNumber"] = *serial;
    }
    if (type) {
        p["ConnectionType"] = *type;
    }
    return p;
}

TEST(USBMuxProtocol, ParsesDeviceListsAndSkipsEntriesItCannotIdentify) {
    const PlistArray list{
        PlistDictionary{{"DeviceID", 1}, {"Properties", properties(1, "usb-serial", "USB")}},
        PlistDictionary{{"DeviceID", 2}, {"Properties", properties(2, "net-serial", "Network")}},
        PlistDictionary{{"DeviceID", 3}, {"MessageType", "Attached"}}, // no Properties
        PlistDictionary{{"Properties", properties(4, std::nullopt, "USB")}},
        PlistDictionary{{"Properties", properties(5, "s", std::nullopt)}},
        PlistDictionary{{"Properties", PlistDictionary{{"DeviceID", "6"}}}}, // not an integer
        PlistDictionary{{"Properties", PlistDictionary{{"SerialNumber", "no id"}}}},
        PlistDictionary{{"Properties", "not a dictionary"}},
        PlistValue("not an entry"),
        PlistDictionary{{"Properties", PlistDictionary{{"DeviceID", 8},
                                                       {"SerialNumber", std::int64_t{5}},
                                                       {"ConnectionType", "usb"}}}},
    };
    const std::vector<Device> expected{{1, "usb-serial", true},
                                       {2, "net-serial", false},
                                       {4, "", true},
                                       {5, "s", false},
                                       {8, "", false}};
    EXPECT_EQ(P::parseDevices({{"DeviceList", list}}), expected);
    // The same through the wire form.
    const auto reply = P::decode(P::encode({{"DeviceList", list}}, 1));
    EXPECT_EQ(P::parseDevices(reply), expected);

    EXPECT_EQ(P::parseDevices({}), std::vector<Device>{});
    EXPECT_EQ(P::parseDevices({{"DeviceList", "none"}}), std::vector<Device>{});
    EXPECT_EQ(P::parseDevices({{"DeviceList", PlistArray{}}}), std::vector<Device>{});
}

TEST(USBMuxProtocol, ConnectResults) {
    struct Case {
        const char* name;
        PlistDictionary reply;
        bool success;
        std::int64_t number;
    };
    const Case cases[] = {
        {"zero", {{"MessageType", "Result"}, {"Number", 0}}, true, 0},
        {"refused", {{"MessageType", "Result"}, {"Number", 3}}, false, 3},
        {"no such device", {{"Number", 2}}, false, 2},
        {"missing", {{"MessageType", "Result"}}, false, -1},
        {"a string", {{"Number", "0"}}, false, -1},
        {"a boolean", {{"Number", false}}, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(P::isConnectSuccess(c.reply), c.success);
        EXPECT_EQ(P::resultNumber(c.reply), c.number);
    }
}

TEST(USBMuxProtocol, DecodeRejectsWhatIsNotADictionaryMessage) {
    struct Case {
        const char* name;
        wire::Bytes message;
        bool malformed; // else a property-list error
    };
    const std::string arrayPlist = "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>";
    const Case cases[] = {
        {"empty", {}, true},
        {"header only", header(16, 1), true},
        {"fifteen bytes", wire::Bytes(15, 0), true},
        {"array at the top", withHeader(arrayPlist), true},
        {"garbage payload", withHeader("\x01\x02garbage"), false},
        {"truncated XML", withHeader(std::string(listDevicesXML).substr(0, 120)), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.malformed) {
            EXPECT_THROW(P::decode(c.message), USBMuxError);
            try {
                P::decode(c.message);
            } catch (const USBMuxError& e) {
                EXPECT_EQ(e, USBMuxError::malformed());
            } catch (...) {
            }
        } else {
            EXPECT_THROW(P::decode(c.message), PropertyListError);
        }
    }
}

TEST(USBMuxProtocol, DecodeIgnoresTheLengthFieldAndReadsBinaryPlists) {
    auto message = withHeader(listDevicesXML);
    message[0] = 16; // the length field is not consulted here
    message[1] = message[2] = message[3] = 0;
    EXPECT_EQ(P::decode(message), P::listDevices());

    // bplist00 { "Number": 0 }
    const std::uint8_t binary[] = {
        'b',  'p',  'l',  'i',  's',  't',  '0',  '0',  0xD1, 0x01, 0x02, 0x56, 'N',  'u',
        'm',  'b',  'e',  'r',  0x10, 0x00, 0x08, 0x0B, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14};
    const auto reply = P::decode(
        withHeader(std::string_view(reinterpret_cast<const char*>(binary), sizeof binary)));
    EXPECT_TRUE(P::isConnectSuccess(reply));
}

TEST(USBMuxProtocol, TotalLengthNeedsAWholeHeader) {
    EXPECT_EQ(P::totalLength(wire::Bytes(15, 0xff)), std::nullopt);
    EXPECT_EQ(P::totalLength(header(237, 1)), 237u);
    EXPECT_EQ(P::totalLength(header(0xFFFFFFFF, 1)), 0xFFFFFFFFu);
}

TEST(USBMuxProtocol, EveryValueKindSurvivesTheWire) {
    const PlistDictionary message{
        {"b", true},
        {"i", std::int64_t{-5}},
        {"big", std::int64_t{1} << 40},
        {"r", 2.5},
        {"s", "文字 <&>"},
        {"d", wire::Bytes{0, 1, 2, 255}},
        {"a", PlistArray{1, "x", PlistDictionary{{"k", false}}}},
        {"nested", PlistDictionary{{"inner", PlistArray{}}}},
    };
    EXPECT_EQ(P::decode(P::encode(message, 9)), message);
    EXPECT_THROW(P::encode({{"s", std::string("a\0b", 3)}}, 1), PropertyListError);
    EXPECT_THROW(P::encode({{"o", PlistValue()}}, 1), PropertyListError);
}

// A daemon's reply is trusted to be shallow, not assumed to be: deep nesting is refused.
TEST(USBMuxProtocol, DeepNestingIsRefused) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>";
    for (int i = 0; i < 200; ++i) {
        xml += "<array>";
    }
    for (int i = 0; i < 200; ++i) {
        xml += "</array>";
    }
    xml += "</dict></plist>";
    EXPECT_THROW(P::decode(withHeader(xml)), PropertyListError);
}

// Nesting deep enough to overflow libplist's own recursion is refused before libplist parses
// anything, in both formats, and so is a small binary list whose shared objects expand to
// billions of nodes.
TEST(USBMuxProtocol, HostileNestingNeverReachesTheParser) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>DeviceList</key>";
    for (int i = 0; i < 270000; ++i) {
        xml += "<array>";
    }
    EXPECT_THROW(P::decode(withHeader(xml)), PropertyListError);

    // bplist00: dict {"DeviceList": a0}, a_i = [a_{i+1} x fanout], the last one empty.
    const auto binary = [](std::size_t levels, std::size_t fanout) {
        wire::Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        const auto put = [&](std::uint64_t v, int bytes) {
            for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
                out.push_back(static_cast<std::uint8_t>(v >> shift));
            }
        };
        std::vector<std::uint64_t> offsets{out.size()};
        out.push_back(0xD1);
        put(1, 4);
        put(2, 4);
        offsets.push_back(out.size());
        out.push_back(0x5A);
        for (const char c : std::string("DeviceList")) {
            out.push_back(static_cast<std::uint8_t>(c));
        }
        for (std::size_t i = 0; i < levels; ++i) {
            offsets.push_back(out.size());
            const std::size_t refs = i + 1 == levels ? 0 : fanout;
            out.push_back(static_cast<std::uint8_t>(0xA0 | refs));
            for (std::size_t r = 0; r < refs; ++r) {
                put(3 + i, 4);
            }
        }
        const std::uint64_t tableAt = out.size();
        for (const auto offset : offsets) {
            put(offset, 4);
        }
        out.insert(out.end(), 6, 0);
        out.push_back(4);
        out.push_back(4);
        put(offsets.size(), 8);
        put(0, 8);
        put(tableAt, 8);
        return std::string(out.begin(), out.end());
    };
    EXPECT_EQ(P::parseDevices(P::decode(withHeader(binary(3, 1)))), std::vector<Device>{});
    EXPECT_THROW(P::decode(withHeader(binary(300000, 1))), PropertyListError);
    EXPECT_THROW(P::decode(withHeader(binary(40, 2))), PropertyListError);
}

TEST(USBMuxProtocol, ErrorsDescribeThemselves) {
    EXPECT_EQ(USBMuxError::connectRejected(3).description(), "usbmuxd 拒绝连接（代码 3）");
    EXPECT_EQ(USBMuxError::connectRejected(3).code(), 3);
    EXPECT_EQ(USBMuxError::socketUnavailable().description(), "无法与 usbmuxd 通信");
    EXPECT_EQ(USBMuxError::malformed().description(), "usbmuxd 回复格式错误");
    EXPECT_NE(USBMuxError::connectRejected(3), USBMuxError::connectRejected(2));
}

} // namespace
} // namespace quillon::platform::usbmux
