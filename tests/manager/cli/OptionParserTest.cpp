// The option parser every command shares: value forms, flags, plain words
// and the refusal of PINs and passwords.

#include "OptionParser.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Parsed {
    std::optional<unsigned long> slot;
    bool pinStdin = false;
    std::optional<std::string> label;
    std::vector<std::string> plain;
    bool ok = false;
    std::string err;
};

Parsed parse(std::vector<std::string> words, bool withPlainWords = false,
             bool readsPassword = false) {
    Parsed parsed;
    std::ostringstream out, err;
    CommandArguments arguments{std::move(words), out, err};
    OptionTable table;
    table.readsPassword = readsPassword;
    table.rules.push_back(slotOption(parsed.slot));
    table.rules.push_back({"--pin-stdin", &parsed.pinStdin, {}});
    table.rules.push_back(
        {"--label", nullptr, [&](const std::string& value, std::ostream&, const std::string&) {
             parsed.label = value;
             return true;
         }});
    if (withPlainWords)
        table.plainWord = [&](const std::string& word, std::ostream&, const std::string&) {
            parsed.plain.push_back(word);
            return true;
        };
    parsed.ok = parseOptions("demo", table, arguments);
    parsed.err = err.str();
    return parsed;
}

TEST(OptionParserTest, ValuesFlagsAndPlainWords) {
    Parsed both = parse({"--slot", "3", "--label=a=b", "--pin-stdin"});
    EXPECT_TRUE(both.ok) << both.err;
    EXPECT_EQ(both.slot, 3ul);
    EXPECT_EQ(both.label, "a=b");
    EXPECT_TRUE(both.pinStdin);

    Parsed files = parse({"a.pfx", "--slot=1", "b.cer"}, true);
    EXPECT_TRUE(files.ok) << files.err;
    EXPECT_EQ(files.plain, (std::vector<std::string>{"a.pfx", "b.cer"}));

    EXPECT_EQ(parse({"a.pfx"}).err, "korvanng-tool demo: unexpected argument 'a.pfx'\n");
    EXPECT_EQ(parse({"--slot"}).err, "korvanng-tool demo: --slot needs a value\n");
    EXPECT_EQ(parse({"--slot", "x"}).err, "korvanng-tool demo: 'x' is not a slot number\n");
}

TEST(OptionParserTest, SecretsAreRefusedInEveryForm) {
    for (const char* word : {"--pin", "--pin=1234", "--pin-stdin=1", "--so-pin", "--user-pin=1",
                             "--new-pin", "--password", "--password=x", "--password-stdin"}) {
        Parsed pins = parse({"--slot", "1", word, "1234"});
        EXPECT_FALSE(pins.ok) << word;
        EXPECT_NE(pins.err.find("PINs are not taken from the command line"), std::string::npos)
            << word << ": " << pins.err;
        Parsed passwords = parse({word}, false, true);
        EXPECT_NE(passwords.err.find("PINs and passwords are not taken"), std::string::npos)
            << word << ": " << passwords.err;
        EXPECT_NE(passwords.err.find("--password-stdin"), std::string::npos);
    }
}

} // namespace
