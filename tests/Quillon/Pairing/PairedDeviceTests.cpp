// test-labels: pairing
#include "Quillon/Pairing/PairedDevice.hpp"
#include "Quillon/Pairing/PairingStore.hpp"

#include <gtest/gtest.h>

#include <variant>

namespace quillon {
namespace {

// 32 bytes 0x00..0x1f in padded standard Base64.
const std::string kToken44 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const std::string kID = "9F1C7C2E-3B7A-4E55-9A0D-6E7A2B1C4D5F";

wire::Bytes token() {
    wire::Bytes t(32);
    for (std::size_t i = 0; i < t.size(); ++i) {
        t[i] = static_cast<std::uint8_t>(i);
    }
    return t;
}

double unixFromStored(double stored) {
    return stored + kReferenceDateOffset;
}

TEST(PairedDeviceJSON, ReadsWhatTheHostHasAlwaysWritten) {
    const std::string head = R"({"deviceID":")" + kID + R"(","deviceName":)";
    const std::string tok = R"("token":")" + kToken44 + R"(")";
    struct Case {
        const char* name;
        std::string json;
        std::string deviceName;
        double pairedAt;
        std::optional<double> lastSeenAt;
    };
    const Case cases[] = {
        {"no lastSeenAt", head + R"("iPad",)" + tok + R"(,"pairedAt":786000000.123})", "iPad",
         786000000.123, std::nullopt},
        {"with lastSeenAt",
         head + R"("iPad",)" + tok + R"(,"pairedAt":786000000.123,"lastSeenAt":786003600.5})",
         "iPad", 786000000.123, 786003600.5},
        {"escaped slash", head + R"("i\/Pad",)" + tok + R"(,"pairedAt":786000000.123})", "i/Pad",
         786000000.123, std::nullopt},
        {"lastSeenAt null",
         head + R"("iPad",)" + tok + R"(,"pairedAt":786000000,"lastSeenAt":null})", "iPad",
         786000000, std::nullopt},
        {"any key order, whitespace, unknown keys",
         "{\n  \"lastSeenAt\" : 1e3,\n  \"pairedAt\" : -5.25,\n  \"extra\" : [1, {\"x\": null}],\n"
         "  \"token\" : \"" +
             kToken44 +
             "\",\n  \"deviceName\" : \"\\u5f20\\u4e09\\u7684 iPad\",\n"
             "  \"deviceID\" : \"" +
             kID + "\"\n}",
         "张三的 iPad", -5.25, 1000.0},
        {"raw UTF-8 and escaped quote", head + R"("张三的 \"iPad\"",)" + tok + R"(,"pairedAt":0})",
         "张三的 \"iPad\"", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairedDevice device;
        ASSERT_NO_THROW(device = decodePairedDevice(c.json));
        EXPECT_EQ(device.deviceID, kID);
        EXPECT_EQ(device.deviceName, c.deviceName);
        EXPECT_EQ(device.token, token());
        EXPECT_EQ(device.pairedAt, unixFromStored(c.pairedAt));
        EXPECT_EQ(device.lastSeenAt.has_value(), c.lastSeenAt.has_value());
        if (c.lastSeenAt) {
            EXPECT_EQ(*device.lastSeenAt, unixFromStored(*c.lastSeenAt));
        }
        // What was read writes back in the same stored form and reads back equal.
        EXPECT_EQ(decodePairedDevice(encodePairedDevice(device)), device);
    }
}

TEST(PairedDeviceJSON, RejectsRecordsThatAreNotWhole) {
    const std::string id = R"("deviceID":"A")";
    const std::string name = R"("deviceName":"iPad")";
    const std::string tok = R"("token":")" + kToken44 + R"(")";
    const std::string at = R"("pairedAt":1.5)";
    auto obj = [](std::initializer_list<std::string> parts) {
        std::string s = "{";
        for (const auto& p : parts) {
            s += (s.size() > 1 ? "," : "") + p;
        }
        return s + "}";
    };
    const std::pair<const char*, std::string> cases[] = {
        {"missing token", obj({id, name, at})},
        {"missing deviceID", obj({name, tok, at})},
        {"missing deviceName", obj({id, tok, at})},
        {"missing pairedAt", obj({id, name, tok})},
        {"null pairedAt", obj({id, name, tok, R"("pairedAt":null)"})},
        {"pairedAt as text", obj({id, name, tok, R"("pairedAt":"1.5")"})},
        {"pairedAt too large for a double", obj({id, name, tok, R"("pairedAt":1e999)"})},
        {"lastSeenAt as text", obj({id, name, tok, at, R"("lastSeenAt":"never")"})},
        {"lastSeenAt boolean", obj({id, name, tok, at, R"("lastSeenAt":false)"})},
        {"deviceID a number", obj({R"("deviceID":7)", name, tok, at})},
        {"token not Base64", obj({id, name, R"("token":"!!!!")", at})},
        {"token without padding",
         obj({id, name, R"("token":")" + kToken44.substr(0, 43) + R"(")", at})},
        {"token as bytes array", obj({id, name, R"("token":[0,1,2])", at})},
        {"not an object", "[" + tok + "]"},
        {"truncated", obj({id, name, tok, at}).substr(0, 40)},
        {"empty", ""},
        {"trailing garbage", obj({id, name, tok, at}) + "x"},
        {"invalid UTF-8", "{\"deviceID\":\"\xff\"," + name + "," + tok + "," + at + "}"},
        {"lone surrogate escape", obj({R"("deviceID":"\ud800")", name, tok, at})},
        {"deep nesting in an unknown key",
         obj({id, name, tok, at, "\"x\":" + std::string(100000, '[') + std::string(100000, ']')})},
    };
    for (const auto& [why, json] : cases) {
        EXPECT_THROW(decodePairedDevice(json), PairedDeviceDecodeError) << why;
    }
}

TEST(PairedDeviceJSON, WritesCompactJSONInTheFixedKeyOrder) {
    PairedDevice device{kID, "i/Pad \"Pro\"", token(), unixFromStored(786000000.5), std::nullopt};
    const std::string base = R"({"deviceID":")" + kID +
                             R"(","deviceName":"i/Pad \"Pro\"","token":")" + kToken44 +
                             R"(","pairedAt":786000000.5)";
    EXPECT_EQ(encodePairedDevice(device), base + "}");
    device.lastSeenAt = unixFromStored(786003600.25);
    EXPECT_EQ(encodePairedDevice(device), base + R"(,"lastSeenAt":786003600.25})");
}

TEST(PairedDeviceJSON, RefusesToWriteWhatCannotBeReadBack) {
    const PairedDevice good{kID, "iPad", token(), 1765000000.0, std::nullopt};
    auto nanTime = good;
    nanTime.pairedAt = std::numeric_limits<double>::quiet_NaN();
    auto infSeen = good;
    infSeen.lastSeenAt = std::numeric_limits<double>::infinity();
    auto badName = good;
    badName.deviceName = "\xc3\x28";
    for (const auto& device : {nanTime, infSeen, badName}) {
        EXPECT_THROW(encodePairedDevice(device), PairedDeviceEncodeError);
    }
}

TEST(ConstantTime, EqualOnlyForTheSameLengthAndBytes) {
    const wire::Bytes a = token();
    auto differAt = [&](std::size_t i) {
        auto b = a;
        b[i] ^= 0x01;
        return b;
    };
    const wire::Bytes shorter(a.begin(), a.end() - 1);
    struct Case {
        const char* name;
        wire::Bytes left, right;
        bool equal;
    };
    const Case cases[] = {
        {"same bytes", a, a, true},
        {"both empty", {}, {}, true},
        {"first byte differs", a, differAt(0), false},
        {"middle byte differs", a, differAt(16), false},
        {"last byte differs", a, differAt(31), false},
        {"31 against 32 bytes (a prefix)", shorter, a, false},
        {"empty against one byte", {}, {0}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConstantTime::equal(c.left, c.right), c.equal) << c.name;
        EXPECT_EQ(ConstantTime::equal(c.right, c.left), c.equal) << c.name;
    }
}

TEST(PairingStoreError, TextNamesTheStatusAndEqualityIgnoresTheDetail) {
    using S = platform::KeychainStatus;
    const auto withDetail = PairingStoreError::keychain(S::duplicateItem, "some file");
    EXPECT_NE(std::string(withDetail.what()).find("duplicateItem"), std::string::npos);
    EXPECT_NE(std::string(withDetail.what()).find("some file"), std::string::npos);
    EXPECT_EQ(withDetail, PairingStoreError::keychain(S::duplicateItem));
    EXPECT_NE(withDetail, PairingStoreError::keychain(S::itemNotFound));
    EXPECT_NE(PairingStoreError::reservedDeviceID(), PairingStoreError::keychain(S::success));
    EXPECT_NE(std::string(PairingStoreError::reservedDeviceID().what()).find("__host_secret__"),
              std::string::npos);
}

} // namespace
} // namespace quillon
