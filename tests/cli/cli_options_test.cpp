#include "cli/cli_options.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

TEST(CliOptions, ParsesEveryCommand) {
    auto r = parse_cli_arguments({"--json", "--timeout", "2500", "--conmon", "127.0.0.1:9900", "get", "TPX2-Stage"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->command, CliCommand::Get);
    EXPECT_TRUE(r.options->json);
    EXPECT_EQ(r.options->timeout_ms, 2500u);
    ASSERT_TRUE(r.options->conmon);
    EXPECT_EQ(r.options->conmon->host, "127.0.0.1");
    EXPECT_EQ(r.options->conmon->port, 9900);
    EXPECT_EQ(r.options->device, "TPX2-Stage");

    r = parse_cli_arguments({"set", "TPX2-Stage", "miclf=-3", "MODE=+4", "MicGate=0"});
    ASSERT_TRUE(r.options) << r.error;
    ASSERT_EQ(r.options->changes.size(), 3u);
    EXPECT_EQ(r.options->changes[0].id, ParameterId::MicLf);
    EXPECT_EQ(r.options->changes[0].value, -3);
    EXPECT_EQ(r.options->changes[1].id, ParameterId::Mode);
    EXPECT_EQ(r.options->changes[1].value, 4);

    r = parse_cli_arguments({"--cmm", "localhost:8850", "use-network", "Ethernet 2"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->network, "Ethernet 2");
    EXPECT_EQ(r.options->cmm->host, "127.0.0.1");

    EXPECT_TRUE(parse_cli_arguments({"networks"}).options);
    EXPECT_TRUE(parse_cli_arguments({"info", "x"}).options);
    EXPECT_TRUE(parse_cli_arguments({"watch", "x"}).options);
    EXPECT_TRUE(parse_cli_arguments({"--help"}).options->help);
    // Like --help, --version needs no command.
    EXPECT_TRUE(parse_cli_arguments({"--json", "--version"}).options->version);
}

TEST(CliOptions, ParsesTheSettingsCommands) {
    auto r = parse_cli_arguments({"save", "TPX2-Stage"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->command, CliCommand::Save);
    EXPECT_EQ(r.options->file, "");

    r = parse_cli_arguments({"load", "TPX2-Stage", "stage.json"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->command, CliCommand::Load);
    EXPECT_EQ(r.options->device, "TPX2-Stage");
    EXPECT_EQ(r.options->file, "stage.json");

    r = parse_cli_arguments({"apply", "hall.json", "A", "--jobs", "3", "B", "--", "-C"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->command, CliCommand::Apply);
    EXPECT_EQ(r.options->file, "hall.json");
    EXPECT_EQ(r.options->devices, (Args{"A", "B", "-C"}));
    EXPECT_EQ(r.options->jobs, 3u);

    r = parse_cli_arguments({"apply", "-", "A"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->file, "-");
    EXPECT_EQ(r.options->jobs, kDefaultApplyJobs);
}

TEST(CliOptions, ParsesTheDomainManagerOptions) {
    CliParseResult r = parse_cli_arguments({"--dm", "dm.example", "--user", "ana", "--password-stdin", "domains"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->command, CliCommand::Domains);
    EXPECT_EQ(r.options->dm.mode, CliDmMode::Address);
    EXPECT_EQ(r.options->dm.host, "dm.example");
    EXPECT_EQ(r.options->dm.port, kDefaultDmPort);
    EXPECT_EQ(r.options->dm.user, "ana");
    EXPECT_TRUE(r.options->dm.password_stdin);

    r = parse_cli_arguments({"--dm", "10.0.0.5:9443", "--user", "ana", "get", "x"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->dm.port, 9443);

    r = parse_cli_arguments({"--dm-discover", "--dm-dns", "127.0.0.1:5353", "--user", "a", "domains"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->dm.mode, CliDmMode::Discover);
    ASSERT_TRUE(r.options->dm.dns);
    EXPECT_EQ(r.options->dm.dns->port, 5353);

    r = parse_cli_arguments({"--cloud", "--user", "a", "domains"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->dm.mode, CliDmMode::Cloud);
}

TEST(CliOptions, RefusesBadInputWithOneClearLine) {
    struct Case {
        Args args;
        const char* error_contains;
    };
    const Case cases[] = {
        {{}, "missing COMMAND"},
        {{"frobnicate"}, "unknown command"},
        {{"--loud", "get", "x"}, "unknown option"},
        {{"get"}, "missing DEVICE"},
        {{"get", "a", "b"}, "unexpected argument"},
        {{"get", std::string(32, 'n')}, "longer than"},
        {{"set", "x"}, "at least one NAME=VALUE"},
        {{"set", "x", "MicLf"}, "expected NAME=VALUE"},
        {{"set", "x", "Volume=3"}, "unknown parameter 'Volume'"},
        {{"set", "x", "MicLf=13"}, "from -12 to 12"},
        {{"set", "x", "MicLf=-13"}, "from -12 to 12"},
        {{"set", "x", "Mode=5"}, "from 0 to 4"},
        {{"set", "x", "MicGate=2"}, "from 0 to 1"},
        {{"set", "x", "MicGate=1.0"}, "from 0 to 1"},
        {{"set", "x", "MicGate="}, "from 0 to 1"},
        {{"set", "x", "MicLf=99999999999999999999"}, "from -12 to 12"},
        {{"--timeout"}, "needs a value"},
        {{"--timeout", "0", "get", "x"}, "--timeout"},
        {{"--timeout", "abc", "get", "x"}, "--timeout"},
        {{"--conmon", "8900", "get", "x"}, "HOST:PORT"},
        {{"--conmon", "10.0.0:8900", "get", "x"}, "HOST:PORT"},
        {{"--conmon", "127.0.0.1:70000", "get", "x"}, "HOST:PORT"},
        {{"--cmm", "example.com:1", "networks"}, "HOST:PORT"},
        {{"use-network"}, "missing NAME"},
        {{"use-network", ""}, "None"},
        {{"networks", "extra"}, "unexpected argument"},
        {{"save"}, "missing DEVICE"},
        {{"save", "x", "f", "g"}, "unexpected argument 'g'"},
        {{"save", "x", ""}, "FILE must not be empty"},
        {{"load", "x"}, "missing FILE"},
        {{"load", std::string(32, 'n'), "f"}, "longer than"},
        {{"apply"}, "missing FILE"},
        {{"apply", "f"}, "at least one DEVICE"},
        {{"apply", "f", "A", "b", "a"}, "unit 'a' is named twice"},
        {{"apply", "f", "A", ""}, "DEVICE must not be empty"},
        {{"apply", "f", "A", "--jobs"}, "--jobs needs a value"},
        {{"apply", "f", "A", "--jobs", "0"}, "--jobs must be a number from 1 to 32"},
        {{"apply", "f", "A", "--jobs", "33"}, "from 1 to 32"},
        {{"apply", "f", "A", "--json"}, "go before the command"},
        {{"apply", "f", "--discovered", "A"}, "not both"},
        {{"apply", "f", "A", "--seconds", "3"}, "--seconds goes with --discovered"},
        {{"apply", "f", "--discovered", "--seconds", "61"}, "--seconds must be a number from 1 to 60"},
        {{"domains"}, "domains needs a Domain Manager"},
        {{"--dm", "dm.example", "domains"}, "needs --user"},
        {{"--dm", "dm.example", "--cloud", "--user", "u", "domains"}, "one of --dm"},
        {{"--dm", "dm.example:0", "--user", "u", "domains"}, "port from 1 to 65535"},
        {{"--dm", "dm example", "--user", "u", "domains"}, "name a host"},
        {{"--dm"}, "--dm needs a value"},
        {{"--user", "u", "get", "x"}, "go with --dm"},
        {{"--dm", "h", "--user", "u", "--dm-dns", "127.0.0.1:53", "domains"}, "goes with --dm-discover"},
        {{"--dm", "h", "--user", "u", "--password", "secret", "domains"}, "--password-stdin"},
        {{"--dm", "h", "--user", "", "domains"}, "--user must not be empty"},
    };
    for (const Case& c : cases) {
        const CliParseResult r = parse_cli_arguments(c.args);
        EXPECT_FALSE(r.options);
        EXPECT_NE(r.error.find(c.error_contains), std::string::npos)
            << "error '" << r.error << "' lacks '" << c.error_contains << "'";
        EXPECT_EQ(r.error.find('\n'), std::string::npos);
    }
}

// The help comes from the declarations: every option and command is in it,
// grouped, and the refused --password is not offered.
TEST(CliOptions, HelpListsEveryOptionAndCommandInItsGroup) {
    const std::string help = cli_usage();
    for (const char* word : {"Connection:", "Domain Manager", "Output:", "--conmon", "--cmm", "--timeout", "--dm ",
                             "--dm-discover", "--dm-dns", "--cloud", "--user", "--domain", "--password-stdin",
                             "--json", "--version", "info", "get", "set", "watch", "networks", "use-network",
                             "save", "load", "apply", "discover", "domains", "MicSensitivity", "Exit status"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(help.find("--password "), std::string::npos);

    const CliParseResult apply = parse_cli_arguments({"apply", "--help"});
    ASSERT_TRUE(apply.options);
    EXPECT_TRUE(apply.options->help);
    EXPECT_NE(apply.usage.find("--jobs"), std::string::npos) << apply.usage;
}

// What scripts that build on a base command line rely on: the last of a
// repeated option counts, and a value may follow '='.
TEST(CliOptions, RepeatedOptionsAndInlineValues) {
    const CliParseResult r = parse_cli_arguments({"--timeout", "100", "--timeout=2500", "--conmon=127.0.0.1:9000",
                                                  "apply", "f", "A", "--jobs=4"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->timeout_ms, 2500u);
    EXPECT_EQ(r.options->conmon->port, 9000);
    EXPECT_EQ(r.options->jobs, 4u);
}

}  // namespace
