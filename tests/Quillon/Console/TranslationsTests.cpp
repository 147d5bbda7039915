// test-labels: shell
// The language of the console and window texts, chosen from the locale as gettext does.
#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Console/Translations.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>

using namespace quillon;

namespace {

// Sets the locale variables of one case and restores the environment afterwards.
class LocaleEnv {
public:
    explicit LocaleEnv(const std::map<std::string, std::string>& values) {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            ::unsetenv(name);
        }
        for (const auto& [name, value] : values) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~LocaleEnv() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(Translations, LanguageComesFromTheLocale) {
    using L = i18n::Language;
    const std::vector<std::pair<std::map<std::string, std::string>, L>> cases = {
        {{}, L::source},
        {{{"LANG", "C.UTF-8"}}, L::source},
        {{{"LANG", "POSIX"}, {"LANGUAGE", "en"}}, L::source}, // LANGUAGE needs a real locale
        {{{"LANG", "zh_CN.UTF-8"}}, L::source},
        {{{"LANG", "en_GB.UTF-8"}}, L::english},
        {{{"LANG", "de_DE.UTF-8"}}, L::english}, // no catalog of its own
        {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}}, L::english},
        {{{"LANG", "en_US.UTF-8"}, {"LC_ALL", "zh_TW.UTF-8"}}, L::source},
        {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "zh_CN:en"}}, L::source},
        {{{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", "en_US:zh"}}, L::english},
    };
    for (const auto& [env, expected] : cases) {
        LocaleEnv scoped(env);
        std::string described;
        for (const auto& [k, v] : env) {
            described += k + "=" + v + " ";
        }
        EXPECT_EQ(i18n::languageFromEnvironment(), expected) << described;
    }
}

TEST(Translations, ConsoleTextsFollowTheLanguage) {
    i18n::setLanguage(i18n::Language::english);
    EXPECT_EQ(console::footer(std::nullopt), "Not connected\n");
    EXPECT_EQ(console::footer(HostChannel::usb), "Connected · USB cable\n");
    EXPECT_EQ(console::deviceList({}, {}), "No device paired yet\n");
    EXPECT_EQ(console::help().rfind("Commands:\n", 0), 0u);
    EXPECT_EQ(i18n::tr("not in the catalog"), "not in the catalog");
    EXPECT_EQ(console::noticeLine({HostNotice::Kind::wrongPIN, HostChannel::wifi, "192.0.2.7"}),
              "Pairing refused (wrong code): 192.0.2.7");
    EXPECT_EQ(console::storeRefused("locked"),
              "Cannot read the pairing records (locked)\nPaired devices cannot connect, and no new "
              "device can be paired.\n");
    i18n::setLanguage(i18n::Language::source);
    EXPECT_EQ(console::footer(HostChannel::wifi), "已连接 · WiFi\n");
    EXPECT_EQ(i18n::tr("配对新设备"), "配对新设备");
}

} // namespace
