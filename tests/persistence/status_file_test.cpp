#include "persistence/status_file.h"

#include <gtest/gtest.h>

#include "fake_file_management.h"
#include "foundation/run_state.h"
#include "test_support.h"

namespace {

// A folder that is not on the disk, so that only the fake holds these files.
const std::wstring kPath = L"C:\\renewix-no-such-folder\\RenewixStatus.xml";
const std::wstring kReplacement = kPath + L".new";

std::string Lines(int count, const std::string& version) {
    return "<Configuration>\r\n\t<NumExecutions>" + std::to_string(count) +
           "</NumExecutions>\r\n\t<CheckFrequency>1</CheckFrequency>\r\n\t<ApplicationVersion>" + version +
           "</ApplicationVersion>\r\n</Configuration>\r\n";
}

// A run saves version 2.0 over a file that recorded 1.0, with a fault staged; the next run
// finds what it left (the status file then maybe torn by a crash) and saves again.
TEST(StatusFile, EverySaveLeavesAVersionTheNextRunReads) {
    renewix::ScopedComInit com;
    ScratchFolder folder(L"status-file");
    enum class Fault { None, WriteReplacement, MoveReplacement, DeleteStatus };
    const std::string saved = Lines(1, "2.0");
    const struct {
        const char* what;
        Fault fault;
        std::string afterSave;  // the status file the save leaves ("" none)
        std::string torn;       // when set, what a crash leaves of the status file after the save
        bool recorded;  // what Save answers: whether the file holds the new version
        bool due;
        const char* version;
        const char* logged;
    } rows[] = {
        {"normal save", Fault::None, saved, "", true, true, "2.0", "\tExecution #:\t1\r\n"},
        {"writing the replacement fails", Fault::WriteReplacement, Lines(4, "1.0"), "", false, true, "1.0",
         "\tExecution #:\t4\r\n"},
        {"ended between delete and move", Fault::MoveReplacement, "", "", false, true, "2.0",
         "\tConfig file read from the replacement an interrupted save left:\t"},
        {"torn status beside a complete replacement", Fault::DeleteStatus, Lines(4, "1.0"), "<Configuration>\r\n\t<Num",
         false, true, "2.0", "\tConfig file read from the replacement an interrupted save left:\t"},
        {"torn status alone keeps the version it shows", Fault::None, saved, saved.substr(0, saved.size() - 10), true,
         false, "2.0", "\tUnable to read config file:\t"},
        // Far larger than any status file: read as unparsable and written afresh, not kept.
        {"huge status file", Fault::None, saved, std::string(17 << 20, ' '), true, false, "",
         "\tUnable to read config file:\t"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FakeFileManagement files;
        files.PutFile(kPath, Lines(4, "1.0"));
        if (row.fault == Fault::WriteReplacement) files.FailWritesAfter(kReplacement, 10);
        if (row.fault == Fault::MoveReplacement) files.FailMove(kReplacement);
        if (row.fault == Fault::DeleteStatus) files.FailDelete(kPath);
        RunState state;
        {
            StatusFile status(kPath, 1, 1, state, TestLog());
            status.SetApplicationVersion(L"2.0");
            EXPECT_EQ(status.Save(files), row.recorded);
        }
        EXPECT_EQ(files.FileBytes(kPath), row.afterSave);
        EXPECT_EQ(files.HasFile(kPath), !row.afterSave.empty());

        // The next run, on the files as the first left them.
        FakeFileManagement next;
        for (const std::wstring& path : {kPath, kReplacement}) {
            if (files.HasFile(path)) next.PutFile(path, files.FileBytes(path));
        }
        if (!row.torn.empty()) next.PutFile(kPath, row.torn);
        StatusFile status(kPath, 1, 1, state, TestLog());
        CapturedLog log(folder / L"status.log");
        EXPECT_EQ(status.Load(next), row.due);
        EXPECT_EQ(WideToUtf8(status.ApplicationVersion()), row.version);
        const std::string text = log.Finish();
        EXPECT_NE(text.find(row.logged), std::string::npos) << text;
        EXPECT_TRUE(status.Save(next));
        EXPECT_EQ(next.FileBytes(kPath), Lines(1, row.version));
        EXPECT_FALSE(next.HasFile(kReplacement));
    }
}

}  // namespace
