// The command lines of check, inventory and watch over several units, and
// the refusals that keep a command from starting on a wrong one.
#include <gtest/gtest.h>

#include "cli/cli_options.h"

namespace {

TEST(SiteOptions, UnitListsAreReadForEachCommand) {
    CliParseResult r = parse_cli_arguments({"check", "site.json", "A", "B", "--jobs", "4"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->command, CliCommand::Check);
    EXPECT_EQ(r.options->file, "site.json");
    EXPECT_EQ(r.options->devices, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(r.options->jobs, 4u);

    // Without names, inventory lists the units found by browsing.
    r = parse_cli_arguments({"inventory", "--seconds", "2", "--csv"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_TRUE(r.options->discovered);
    EXPECT_TRUE(r.options->csv);
    EXPECT_EQ(r.options->discover_seconds, 2u);
    r = parse_cli_arguments({"inventory", "A", "--json"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_FALSE(r.options->discovered);
    EXPECT_TRUE(r.options->json);

    // One unit: the watch of one unit; several: the site's watch.
    r = parse_cli_arguments({"watch", "A"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->device, "A");
    r = parse_cli_arguments({"watch", "A", "B"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_TRUE(r.options->device.empty());
    EXPECT_EQ(r.options->devices.size(), 2u);
    r = parse_cli_arguments({"watch", "--discovered"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_TRUE(r.options->discovered);
}

TEST(SiteOptions, WrongCombinationsAreRefused) {
    std::vector<std::string> many = {"watch"};
    for (int i = 0; i <= 32; ++i) {
        many.push_back("Unit-" + std::to_string(i));
    }
    struct Case {
        std::vector<std::string> args;
        const char* error_contains;
    };
    const Case cases[] = {
        {{"check", "f.json"}, "check needs at least one DEVICE (or --discovered)"},
        {{"check"}, "FILE"},
        {{"check", "f.json", "A", "a"}, "unit 'a' is named twice"},
        {{"check", "f.json", "A", "--discovered"}, "not both"},
        {{"check", "f.json", "A", "--seconds", "3"}, "--seconds goes with --discovered"},
        {{"inventory", "--json", "--csv"}, "give --json or --csv, not both"},
        {{"watch"}, "watch needs at least one DEVICE"},
        {{"watch", "A", "--jobs", "2"}, "unknown option '--jobs'"},
        {many, "watch watches at most 32 units"},
        // The password and the file cannot share standard input.
        {{"--dm", "dm.local", "--user", "u", "--password-stdin", "load", "A", "-"}, "both read standard input"},
        {{"--dm", "dm.local", "--user", "u", "--password-stdin", "check", "-", "A"}, "both read standard input"},
        {{"--dm", "dm.local", "--user", "u", "--password-stdin", "apply", "-", "A"}, "both read standard input"},
    };
    for (const Case& c : cases) {
        const CliParseResult r = parse_cli_arguments(c.args);
        EXPECT_FALSE(r.options) << c.error_contains;
        EXPECT_NE(r.error.find(c.error_contains), std::string::npos)
            << "error '" << r.error << "' lacks '" << c.error_contains << "'";
    }
    // A file by name goes with a password from standard input.
    EXPECT_TRUE(parse_cli_arguments({"--dm", "dm.local", "--user", "u", "--password-stdin", "load", "A", "f.json"})
                    .options);
}

}  // namespace
