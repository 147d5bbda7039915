// test-labels: platform
// The message catalogs: every text the sources hand to gettext has its Chinese translation
// (none missing, none fuzzy, formats and placeholders alike), and the catalogs the build made
// answer in the language asked for.
#include "Platform/Locale/Translation.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

struct Ran {
    int status = -1;
    std::string output;
};

Ran run(const std::vector<std::string>& argv, const std::string& dir) {
    static int counter = 0;
    ChildProcess::Options o;
    o.argv = argv;
    o.outputFile = dir + "/out-" + std::to_string(++counter) + ".txt";
    ChildProcess child(o);
    const auto status = child.wait(120s);
    return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, child.output()};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// msgid -> msgstr of a .po file (single forms; plural entries by their first form).
std::map<std::string, std::string> entries(const std::string& po) {
    std::map<std::string, std::string> out;
    const std::regex entry(
        R"re(msgid ((?:"(?:[^"\\]|\\.)*"\s*)+)(?:msgid_plural (?:"(?:[^"\\]|\\.)*"\s*)+)?msgstr(?:\[0\])? ((?:"(?:[^"\\]|\\.)*"\s*)+))re");
    const std::regex piece(R"re("((?:[^"\\]|\\.)*)")re");
    const auto join = [&](const std::string& quoted) {
        std::string text;
        for (auto it = std::sregex_iterator(quoted.begin(), quoted.end(), piece);
             it != std::sregex_iterator(); ++it) {
            text += (*it)[1];
        }
        return text;
    };
    for (auto it = std::sregex_iterator(po.begin(), po.end(), entry); it != std::sregex_iterator();
         ++it) {
        out[join((*it)[1])] = join((*it)[2]);
    }
    return out;
}

TEST(MessageCatalog, EveryTextOfTheSourcesIsTranslated) {
    TempDir dir;
    const std::string pot = dir.path() + "/quillon.pot";
    const auto extract = run({"xgettext", "--language=C++", "--from-code=UTF-8", "--keyword=tr",
                              "--keyword=trn:1,2", "--keyword=N_", "--keyword=t", "--no-location",
                              "--files-from=" QUILLON_BINARY_DIR "/po/POTFILES", "--output=" + pot},
                             dir.path());
    ASSERT_EQ(extract.status, 0) << extract.output;
    const std::string po = QUILLON_SOURCE_DIR "/po/zh_CN.po";
    // msgcmp: every message of the template has a translation in the catalog.
    const auto compare = run({"msgcmp", po, pot}, dir.path());
    EXPECT_EQ(compare.status, 0) << compare.output;
    const auto check =
        run({"msgfmt", "--check", "--statistics", "-o", "/dev/null", po}, dir.path());
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.output.find("untranslated"), std::string::npos) << check.output;
    EXPECT_EQ(check.output.find("fuzzy"), std::string::npos) << check.output;

    // The same placeholders on both sides: a lost {2} would drop what the user needs to read.
    const std::regex placeholder(R"(\{[1-9]\})");
    for (const auto& [id, text] : entries(readFile(po))) {
        if (id.empty()) {
            continue;
        }
        std::multiset<std::string> want, got;
        for (auto it = std::sregex_iterator(id.begin(), id.end(), placeholder);
             it != std::sregex_iterator(); ++it) {
            want.insert(it->str());
        }
        for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder);
             it != std::sregex_iterator(); ++it) {
            got.insert(it->str());
        }
        EXPECT_EQ(want, got) << id;
    }
}

// The catalogs the build made are the ones a binary of the build tree reads, and each
// language answers in its own words; a C locale and a language without a catalog read English.
TEST(MessageCatalog, EachLanguageAnswersInItsOwnWords) {
    i18n::initialise();
    EXPECT_EQ(i18n::catalogDirectory(), QUILLON_BINARY_DIR "/locale");
    ::unsetenv("LANGUAGE");
    const struct {
        const char* locale;
        const char* language; // LANGUAGE, or nullptr
        std::string pairNew;
    } cases[] = {
        {"zh_CN.UTF-8", nullptr, "配对新设备"},
        {"C.UTF-8", nullptr, "Pair New Device"},
        {"C", nullptr, "Pair New Device"},
        {"en_US.UTF-8", nullptr, "Pair New Device"},
        {"zh_CN.UTF-8", "en", "Pair New Device"},
        {"zh_CN.UTF-8", "en_GB:zh_CN", "Pair New Device"},
        {"en_US.UTF-8", "de:zh_CN", "配对新设备"},
    };
    for (const auto& c : cases) {
        if (c.language != nullptr) {
            ::setenv("LANGUAGE", c.language, 1);
        } else {
            ::unsetenv("LANGUAGE");
        }
        ASSERT_NE(std::setlocale(LC_MESSAGES, c.locale), nullptr) << c.locale;
        EXPECT_EQ(i18n::tr("Pair New Device"), c.pairNew) << c.locale << " " << c.language;
    }
    ::unsetenv("LANGUAGE");
    std::setlocale(LC_MESSAGES, "C.UTF-8");
    EXPECT_EQ(i18n::fill("{2} and {1}, {3}", {"a", "b"}), "b and a, {3}");
    EXPECT_EQ(i18n::trn("(expires in {1} second)", "(expires in {1} seconds)", 2),
              "(expires in {1} seconds)");
}

} // namespace
