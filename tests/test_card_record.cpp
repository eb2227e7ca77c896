// The record a run leaves of a card: its text, read back exactly, and no
// value that can forge a line of its own.
#include <gtest/gtest.h>

#include <cstdlib>

#include "run/card_record.h"
#include "tools/testkit/files.h"

static CardRecord Hostile()
{
    CardRecord r;
    r.Address = "0000:03:00.0";
    r.When = "2026-12-09T20:41:07Z";
    r.User = "root (uid 0)";
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
              "address=0000:03:00.0\nwhen=2026-12-09T20:41:07Z\nuser=root (uid 0)\n"
              "file=/lab/a=b\\\\c\\nresult=programmed\nsha256=" + std::string(64, 'a') +
              "\ndesign=d\\x1b[2Jx\\x7f\xc3\xa9\npart=\ndate=\ntime=\nbytes=\nresult=failed\n"
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
    EXPECT_FALSE(ReadRecord(r.Address, &back));
    ASSERT_TRUE(WriteRecord(r));  // as root the folders are made
    r.Result = "programmed";
    ASSERT_TRUE(WriteRecord(r));
    ASSERT_TRUE(ReadRecord(r.Address, &back));
    EXPECT_EQ(back.Result, "programmed");
    EXPECT_EQ(ReadFile(run.Path() + "/cards/" + r.Address), RecordText(r)) << "one file, no leftovers";
    ASSERT_EQ(setenv("VELDRAN_RUN_DIR", (run.Path() + "/cards/" + r.Address).c_str(), 1), 0);
    EXPECT_FALSE(WriteRecord(r)) << "a folder that is a file";
    unsetenv("VELDRAN_RUN_DIR");
}
