// The helper the qxtoken commands share: how command words are taken apart
// and how the user PIN is found and handed to the kernel.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "session.h"

namespace qx::qxtoken {
namespace {

// Runs `step` on `words`: the text it returns, "usage: <message>" for a
// usage error, then the words left over after a '|'.
std::string outcome(std::vector<std::string> words, const std::function<std::string(Words&)>& step) {
    Words w{std::move(words)};
    std::string result;
    try {
        result = step(w);
    } catch (const UsageError& e) {
        result = "usage: " + e.message;
    }
    result += " |";
    for (const auto& left : w.words) result += " " + left;
    return result;
}

TEST(QxTokenSession, WordsTakeOptionsAndPositionalWordsApart) {
    struct Case {
        const char* what;
        std::vector<std::string> words;
        std::function<std::string(Words&)> step;
        std::string expected;
    };
    const Case cases[] = {
        {"flag removes one word", {"a", "--json", "b"}, [](Words& w) { return std::to_string(w.flag("--json")); },
         "1 | a b"},
        {"absent flag", {"a"}, [](Words& w) { return std::to_string(w.flag("--json")); }, "0 | a"},
        {"has leaves the words", {"--pin", "1"}, [](Words& w) { return std::to_string(w.has("--pin")); },
         "1 | --pin 1"},
        {"option takes its value", {"x", "--in", "f", "y"}, [](Words& w) { return *w.option("--in"); }, "f | x y"},
        {"absent option", {"x"}, [](Words& w) { return std::string(w.option("--in") ? "some" : "none"); },
         "none | x"},
        {"option without value", {"x", "--in"}, [](Words& w) { return *w.option("--in"); },
         "usage: --in needs a value | x --in"},
        {"option into a string", {"--hash", "sm3"},
         [](Words& w) {
             std::string v = "unset";
             const bool got = w.option("--hash", v);
             return std::to_string(got) + v;
         },
         "1sm3 |"},
        {"option_or falls back", {"x"}, [](Words& w) { return w.option_or("--type", "rsa"); }, "rsa | x"},
        {"option_or takes the value", {"--type", "sm2"}, [](Words& w) { return w.option_or("--type", "rsa"); },
         "sm2 |"},
        {"required missing", {"x"}, [](Words& w) { return w.required("--out"); }, "usage: missing --out | x"},
        {"take accepts an option word", {"--pin", "x"}, [](Words& w) { return w.take("name"); }, "--pin | x"},
        {"take on nothing", {}, [](Words& w) { return w.take("name"); }, "usage: missing name |"},
        {"take_positional refuses an option word", {"--pin", "x"},
         [](Words& w) { return w.take_positional("file"); }, "usage: missing file | --pin x"},
        {"take_positional takes a word", {"f", "--pin"}, [](Words& w) { return w.take_positional("file"); },
         "f | --pin"},
        {"take_positional on nothing", {}, [](Words& w) { return w.take_positional("file"); },
         "usage: missing file |"},
        {"done with words left", {"extra"},
         [](Words& w) {
             w.done();
             return std::string("done");
         },
         "usage: unexpected argument 'extra' | extra"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, outcome(c.words, c.step)) << c.what;
}

// What the fake kernel was given, and what it answers.
std::string gPinSeen;
uint32_t gPinAnswer = ERR_OK;

uint32_t QXTOKEN_CALL fake_verify(DeviceHandle, uint32_t kind, char* pin, uint32_t length) {
    gPinSeen = std::to_string(kind) + ":" + std::string(pin, length);
    return gPinAnswer;
}

TEST(QxTokenSession, UserPinIsTheGivenOneOrTheTypedOneAndAFailureIsNamed) {
    struct Case {
        const char* what;
        const char* given;  // null: not on the command line
        bool canAsk;
        const char* typed;  // null: the person gave up
        uint32_t answer;
        std::string seen, error;
    };
    const std::string user = std::to_string(QXTOKEN_PIN_USER) + ":";
    const Case cases[] = {
        {"given", "123456", true, "999999", ERR_OK, user + "123456", ""},
        {"typed", nullptr, true, "24680", ERR_OK, user + "24680", ""},
        {"nobody to ask", nullptr, false, nullptr, ERR_OK, "", "no User PIN given"},
        {"gave up", nullptr, true, nullptr, ERR_OK, "", "no User PIN given"},
        {"wrong", "000000", true, nullptr, ERR_PIN_INCORRECT, user + "000000",
         "verifying the user PIN failed: " + describe_status(ERR_PIN_INCORRECT)},
    };
    KernelApi kernel("no-such-directory/");  // nothing loaded: the fake stands in
    kernel.verifyPin = fake_verify;
    for (const auto& c : cases) {
        gPinSeen.clear();
        gPinAnswer = c.answer;
        std::ostringstream out, err;
        Io io{out, err, nullptr};
        if (c.canAsk) {
            io.askSecret = [&](const std::string& prompt, std::string& secret) {
                EXPECT_EQ("User PIN: ", prompt);
                if (!c.typed) return false;
                secret = c.typed;
                return true;
            };
        }
        const std::string given = c.given ? c.given : "";
        std::string error;
        try {
            verify_user_pin(kernel, io, nullptr, c.given ? &given : nullptr);
        } catch (const Failure& f) {
            error = f.message;
        }
        EXPECT_EQ(c.seen, gPinSeen) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
    }
}

}  // namespace
}  // namespace qx::qxtoken
