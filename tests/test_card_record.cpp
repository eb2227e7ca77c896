// The record a run leaves of a card: its text, read back exactly, and no
// value that can forge a line of its own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "run/card_record.h"
#include "tools/testkit/files.h"

static CardRecord Hostile()
{
    CardRecord r;
    r.Address = "0000:03:00.0";
    r.When = "2026-12-09T20:41:07Z";
    r.User = "root";
    r.Uid = "0";
    r.File = "/lab/a=b\\c\nresult=programmed";
    r.Sha256 = std::string(64, 'a');
    r.Design = "d\x1b[2Jx\x7f\xc3\xa9";
    r.Result = "failed";
    r.Step = "confirming DONE";
    return r;
}

TEST(CardRecord, TextReadsBackExactlyAndNoValueAddsALine)
{
    const CardRecord r = Hostile();
    const std::string text = RecordText(r);
    EXPECT_EQ(text,
              "address=0000:03:00.0\nwhen=2026-12-09T20:41:07Z\nuser=root\nuid=0\n"
              "file=/lab/a=b\\\\c\\nresult=programmed\nsha256=" + std::string(64, 'a') +
              "\nformat=\ndesign=d\\x1b[2Jx\\x7f\xc3\xa9\npart=\ndate=\ntime=\nbytes=\nresult=failed\n"
              "step=confirming DONE\n");
    CardRecord back;
    ASSERT_TRUE(ParseRecord(text, &back));
    for (const RecordField& field : RECORD_FIELDS)
        EXPECT_EQ(back.*field.Value, r.*field.Value) << field.Name;
    // Anything but what the writer writes is no record.
    for (const std::string& bad :
         {text.substr(0, text.size() - 1), text + "extra=1\n", "when" + text.substr(7),
          std::string("address=\\q\n") + text.substr(text.find("\nwhen") + 1), std::string()}) {
        CardRecord none;
        EXPECT_FALSE(ParseRecord(bad, &none)) << bad;
    }
}

TEST(CardRecord, IsReplacedWholeInItsFolderOrNotWritten)
{
    TempFolder run;
    ASSERT_EQ(setenv("VELDRAN_RUN_DIR", run.Path().c_str(), 1), 0);
    CardRecord r = Hostile(), back;
    EXPECT_EQ(ReadRecord(r.Address, &back), RecordRead::None);
    ASSERT_TRUE(WriteRecord(r));  // as root the folders are made
    r.Result = "programmed";
    ASSERT_TRUE(WriteRecord(r));
    ASSERT_EQ(ReadRecord(r.Address, &back), RecordRead::Read);
    EXPECT_EQ(back.Result, "programmed");
    const std::string cards = run.Path() + "/cards/";
    EXPECT_EQ(ReadFile(cards + r.Address), RecordText(r)) << "one file, no leftovers";
    // What a member of the group may leave in its folder in a card's name:
    // another card's record, a link (to a record of that card, but it might
    // as well be to a device that acts when opened), a FIFO no one writes.
    ASSERT_TRUE(WriteFile(cards + "0000:04:00.0", RecordText(r)));
    r.Address = "0000:05:00.0";
    ASSERT_TRUE(WriteFile(run.Path() + "/elsewhere", RecordText(r)));
    ASSERT_EQ(symlink("../elsewhere", (cards + r.Address).c_str()), 0);
    ASSERT_EQ(mkfifo((cards + "0000:06:00.0").c_str(), 0644), 0);
    for (const char* other : {"0000:04:00.0", "0000:05:00.0", "0000:06:00.0"})
        EXPECT_EQ(ReadRecord(other, &back), RecordRead::Unreadable) << other;
    ASSERT_EQ(setenv("VELDRAN_RUN_DIR", (cards + r.Address).c_str(), 1), 0);
    EXPECT_FALSE(WriteRecord(r)) << "a folder that is a file";
    unsetenv("VELDRAN_RUN_DIR");
}
