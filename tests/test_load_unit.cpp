// The command of the unit that loads a card as it appears (veldran-load
// ADDRESS) on a simulated bus: which design it takes for the address, and
// the status the unit then ends with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/e2e_fixture.h"

namespace {

constexpr uint32_t UNTOUCHED = 0x00000002;   // DONE only, as the bus is made
constexpr uint32_t PROGRAMMED = 0x000D0002;  // MODE (0x000C0000), PROGRAM (0x00010000), DONE

TEST_F(EndToEnd, TheLoadCommandRunsTheDesignConfiguredForItsAddress)
{
    const std::string bit = TempFile(BitFile(Pattern(700))), lost = "->/nonexistent.bin";
    // The folder's designs: a name, and a file to copy there or "->" and a link's target.
    struct Case {
        std::map<std::string, std::string> designs;
        const char* address;
        int status;
        uint32_t after;
        const char* says;
    } cases[] = {
        {{{"0000:0a:00.0.bit", bit}}, "0000:0a:00.0", 0, PROGRAMMED, "programmed 700 bytes."},
        {{{"0000:0a:00.0.bin", "->" + prom}}, "0000:0a:00.0", 0, PROGRAMMED, "programmed 600 bytes."},
        {{{"0000:01:00.0.bin", prom}}, "0000:0a:00.0", 0, UNTOUCHED, "no design configured"},
        {{{"0000:0a:00.0.bit", bit}, {"0000:0a:00.0.bin", prom}}, "0000:0a:00.0", 1, UNTOUCHED,
         "0000:0a:00.0.bin are configured"},
        {{{"0000:0a:00.0.bin", lost}}, "0000:0a:00.0", 101, UNTOUCHED, "File not found: "},
        {{{"0a:00.0.bin", prom}}, "0a:00.0", 1, UNTOUCHED, "not a card address"},
    };
    const SimCard other = CardAt(1), card = CardAt(0x0a);
    MakeBus({other, card});
    for (const Case& k : cases) {
        const std::string config = temp.Path() + "/etc-" + std::to_string(&k - cases) + "/";
        std::filesystem::create_directory(config);
        for (const auto& [name, design] : k.designs) {
            if (design.rfind("->", 0) == 0)
                std::filesystem::create_symlink(design.substr(2), config + name);
            else
                std::filesystem::copy_file(design, config + name);
        }
        const Outcome r = RunProcess({VELDRAN_LOAD_COMMAND, {k.address},
                                      {{"VELDRAN_SYSFS_ROOT", root}, {"VELDRAN_CONFIG_DIR", config},
                                       {"VELDRAN_PROGRAM", VELDRAN_BINARY}}});
        EXPECT_EQ(r.Status, k.status) << config << "\n" << r.Out << r.Err;
        EXPECT_THAT(r.Out + r.Err, ::testing::HasSubstr(k.says)) << config;
        EXPECT_EQ(ReadSimControl(root, card), k.after) << config;
        EXPECT_EQ(ReadSimControl(root, other), UNTOUCHED) << config << ": card 0 is not the one";
        ASSERT_TRUE(WriteSimControl(root, card, UNTOUCHED, nullptr));
    }
}

}  // namespace
