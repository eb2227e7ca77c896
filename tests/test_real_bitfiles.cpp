// Real .bit files from public FPGA projects: header fields and data.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sys/stat.h>

#include "card/byte_writers.h"
#include "configfile/detect_config_file.h"
#include "run/run_state.h"
#include "tests/fake_plx.h"
#include "tests/test_support.h"
#include "upload/program_card.h"

struct RealBitFile {
    const char* file;
    const char* name;
    const char* part;
    const char* date;
    const char* time;
    uint32_t length;
    std::size_t dataStart;
};

static const RealBitFile FILES[] = {
    {"spartan3a-picoblaze3-soc.bit", "top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2019/08/04",
     "19:33:09", 54664, 87},
    {"spartan6-adc-spartan6.bit", "top.ncd;UserID=0xFFFFFFFF", "6slx9tqg144", "2017/12/03",
     "02:23:37", 340604, 88},
    {"virtex2pro-dsss-spreadspectrumrx.bit", "spreadspectrumrx.ncd", "2vp30ff896", "2016/12/19",
     "19:58:51", 1448740, 82},
    {"virtex5-pairing-system.bit", "system.ncd;UserID=0xFFFFFFFF", "5vlx50tff1136", "2018/02/04",
     "17:02:18", 1756544, 93},
    {"spartan7-fpga-study-diptest-compressed.bit",
     "diptest;COMPRESS=TRUE;UserID=0XFFFFFFFF;Version=2023.1", "7s25csga225", "2023/12/20",
     "18:50:53", 132012, 117},
    {"artix7-mandel-basys3.bit", "top;UserID=0XFFFFFFFF;Version=2025.2;SW_CRC=20dae4b3",
     "7a35tcpg236", "2025/12/31", "21:05:37", 2192012, 115},
};

// Names the case by its file in test listings.
void PrintTo(const RealBitFile& f, std::ostream* os)
{
    *os << f.file;
}

class RealBitFiles : public ::testing::TestWithParam<RealBitFile> {};

TEST_P(RealBitFiles, HeaderIsReadAndTheDataSentThroughTheReversingWriter)
{
    const RealBitFile& f = GetParam();
    const std::string path = std::string(VELDRAN_BITFILES_DIR) + "/" + f.file;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        SKIP_OR_FAIL_ON_CI("sample .bit files not present at " + path);
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    ResetFake();
    State.DataWindow = Fake.Window;
    State.ControlPort = 0xE06C;
    OpenConfigFile(path);
    ::testing::internal::CaptureStdout();
    DetectConfigFile();
    const std::string header = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(header, std::string("\nLooks like a .BIT file:") +
                          "\n  Design name:          " + f.name +
                          "\n  Part I.D.:            " + f.part +
                          "\n  Design date:          " + f.date +
                          "\n  Design time:          " + f.time +
                          "\n  Configuration length: " + std::to_string(f.length) + " bytes\n");
    ASSERT_EQ(State.ByteWriter, &WriteByteReversed);
    EXPECT_EQ(std::ftell(State.ConfigFile), static_cast<long>(f.dataStart));

    // Through the writer a run uses: every data byte counted, and the last
    // one in the window, reversed, when DONE is first read. Every stored
    // byte of whole runs is compared by the stream tests.
    ::testing::internal::CaptureStdout();
    ProgramCard();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\nSuccessfully programmed " + std::to_string(f.length) + " bytes."),
              std::string::npos);
    std::size_t programSet = 0;
    for (std::size_t i = 0; i < Fake.Calls.size(); ++i)
        if (Fake.Calls[i].rfind("PortWrite", 0) == 0)
            programSet = i;
    EXPECT_EQ(Fake.WindowAtCall.at(programSet + 1), ReverseBits(file.back()));
}

INSTANTIATE_TEST_SUITE_P(Shared, RealBitFiles, ::testing::ValuesIn(FILES),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });
