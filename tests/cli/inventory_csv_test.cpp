// inventory --csv read back by Python's csv module, as a spreadsheet would
// read it. Natively only: it runs python3.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/cli/site_fixture.h"

namespace {

using site_test::CliRun;
using site_test::SiteCommands;

// The CSV read back by Python's csv module, as a spreadsheet would read it:
// a name holding a comma and quotes stays one field.
TEST_F(SiteCommands, InventoryCsvReadsBackWithACsvReader) {
    network_->conmon().set_device_muted("Hall-2", true);
    const CliRun r = run({"inventory", "--csv", "Hall \"3\", left", "Hall-2", "Hall-1"});
    EXPECT_EQ(r.status, kExitUnitUnavailable) << r.err;
    const std::string csv = write_file("inventory.csv", r.out);
    const std::string command = "python3 -c 'import csv,sys\n"
                                "for row in csv.reader(open(sys.argv[1], newline=\"\")): print(\"|\".join(row))' " +
                                csv;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string parsed;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        parsed += buffer;
    }
    ASSERT_EQ(pclose(pipe), 0) << parsed;
    EXPECT_EQ(parsed,
              "name|manufacturer|model|bootloader|application|MicLf|MicHf|LineLf|LineHf|Mode|MicSensitivity|MicGate|"
              "status\n"
              "Hall \"3\", left|Vornix||2.5|1.3|0|0|0|0|0|4|1|ok\n"
              "Hall-2||||||||||||was not found or does not answer\n"
              "Hall-1|Vornix||2.5|1.3|0|0|0|0|0|4|1|ok\n");
}

}  // namespace
