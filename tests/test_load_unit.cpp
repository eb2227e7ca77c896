// The command of the unit that loads a card as it appears (veldran-load
// ADDRESS), run as systemd runs it, against a simulated bus: which design it
// picks for the address, and the status the unit then ends with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/e2e_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t UNTOUCHED = 0x00000002;   // DONE only, as the bus is made
constexpr uint32_t PROGRAMMED = 0x000D0002;  // MODE (0x000C0000), PROGRAM (0x00010000), DONE
constexpr uint32_t ANY = 0xFFFFFFFF;         // a failed run's leftovers: not checked

TEST_F(EndToEnd, TheLoadCommandRunsTheDesignConfiguredForItsAddress)
{
    const std::string bit = TempFile(BitFile(Pattern(700)));
    // Each design: a name in the folder and what it is, a file's path or
    // "->" and a link's target.
    struct Case {
        const char* what;
        std::map<std::string, std::string> designs;
        const char* address;
        uint32_t control;
        int status;
        uint32_t after;
        const char* says;
    } cases[] = {
        {".bit file", {{"0000:0a:00.0.bit", bit}}, "0000:0a:00.0", UNTOUCHED, 0, PROGRAMMED,
         "Successfully programmed 700 bytes."},
        {".bin link", {{"0000:0a:00.0.bin", "->" + prom}}, "0000:0a:00.0", UNTOUCHED, 0, PROGRAMMED,
         "Successfully programmed 600 bytes."},
        {"another card's design", {{"0000:01:00.0.bin", prom}}, "0000:0a:00.0", UNTOUCHED, 0,
         UNTOUCHED, "no design configured"},
        {"both names", {{"0000:0a:00.0.bit", bit}, {"0000:0a:00.0.bin", prom}}, "0000:0a:00.0",
         UNTOUCHED, 1, UNTOUCHED, "0000:0a:00.0.bin are configured"},
        {"lost link", {{"0000:0a:00.0.bin", "->/nonexistent.bin"}}, "0000:0a:00.0", UNTOUCHED, 101,
         UNTOUCHED, "File not found: "},
        {"DONE low", {{"0000:0a:00.0.bin", prom}}, "0000:0a:00.0", 0x0, 102, ANY,
         "<DONE> status bit indicates busy"},
        {"short address", {{"0a:00.0.bin", prom}}, "0a:00.0", UNTOUCHED, 1, UNTOUCHED,
         "not a card address"},
    };
    const SimCard other = CardAt(1), card = CardAt(0x0a);
    MakeBus({other, card});
    for (const Case& k : cases) {
        const std::string config = temp.Path() + "/etc-" + std::to_string(&k - cases);
        fs::create_directory(config);
        for (const auto& [name, design] : k.designs) {
            if (design.rfind("->", 0) == 0)
                fs::create_symlink(design.substr(2), config + "/" + name);
            else
                fs::copy_file(design, config + "/" + name);
        }
        ASSERT_TRUE(WriteSimControl(root, card, k.control, nullptr));
        const Outcome r = RunProcess({VELDRAN_LOAD_COMMAND, {k.address},
                                      {{"VELDRAN_SYSFS_ROOT", root}, {"VELDRAN_CONFIG_DIR", config},
                                       {"VELDRAN_PROGRAM", VELDRAN_BINARY}}});
        EXPECT_EQ(r.Status, k.status) << k.what << "\n" << r.Out << r.Err;
        EXPECT_THAT(r.Out + r.Err, ::testing::HasSubstr(k.says)) << k.what;
        if (k.after != ANY) {
            EXPECT_EQ(ReadSimControl(root, card), k.after) << k.what;
        }
        EXPECT_EQ(ReadSimControl(root, other), UNTOUCHED) << k.what << ": card 0 is not the one";
    }
}

}  // namespace
