// The file's SHA-256 as a record states it: FIPS 180-4's own examples, and
// sha256sum's reading of a file fed in uneven pieces.
#include <gtest/gtest.h>

#include <string>

#include "run/sha256.h"
#include "tests/test_support.h"
#include "tools/testkit/process.h"

// Both ways of doing the rounds: the processor's SHA instructions where it
// has them, and the plain ones.
class Sha256Rounds : public ::testing::TestWithParam<bool> {};

static std::string Digest(const Bytes& bytes, std::size_t piece)
{
    Sha256 hash;
    Sha256Start(&hash);
    hash.Hardware = hash.Hardware && Sha256Rounds::GetParam();
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        Sha256Add(&hash, bytes.data() + at, std::min(piece, bytes.size() - at));
    return Sha256Finish(&hash);
}

static Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TEST_P(Sha256Rounds, MatchStandardsExamplesAndSha256sum)
{
    Sha256 probe;
    Sha256Start(&probe);
    if (GetParam() && !probe.Hardware)
        GTEST_SKIP() << "this processor has no SHA instructions";
    EXPECT_EQ(Digest({}, 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest(Text("abc"), 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest(Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), 7),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest(Bytes(1000000, 'a'), 16384),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Every length around the padding's edges, in pieces that straddle
    // the 64-byte blocks.
    const Bytes data = Pattern(200);
    for (std::size_t size : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 121u, 200u}) {
        const Bytes part(data.begin(), data.begin() + static_cast<long>(size));
        const std::string path = TempFile(part);
        const Outcome r = RunProcess({"/usr/bin/sha256sum", {path}, {}});
        ASSERT_EQ(r.Status, 0) << r.Err;
        for (std::size_t piece : {1u, 13u, 64u, 1000u})
            EXPECT_EQ(Digest(part, piece), r.Out.substr(0, 64)) << size << " in pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(, Sha256Rounds, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Hardware" : "Plain"; });
