#include "persistence/status_file.h"

#include <gtest/gtest.h>

#include <map>

#include "fake_file_management.h"
#include "foundation/run_state.h"
#include "test_support.h"
#include "transfer/transfer_support.h"

namespace {

// A folder that is not on the disk, so that only the fake holds these files.
const std::wstring kPath = L"C:\\renewix-no-such-folder\\RenewixStatus.xml";
const std::wstring kReplacement = kPath + L".new";

// A status file's text; a declined version ("" none) is recorded after the installed one.
std::string Lines(int count, const std::string& version, int frequency = 1, const std::string& declined = "") {
    std::string text = "<Configuration>\r\n\t<NumExecutions>" + std::to_string(count) +
                       "</NumExecutions>\r\n\t<CheckFrequency>" + std::to_string(frequency) +
                       "</CheckFrequency>\r\n\t<ApplicationVersion>" + version + "</ApplicationVersion>\r\n";
    if (!declined.empty()) text += "\t<NoRepromptForVersion>" + declined + "</NoRepromptForVersion>\r\n";
    return text + "</Configuration>\r\n";
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

// One run each, configured as the configuration tool would configure the client: the file the
// run finds and what it learns, against what it answers and the file it leaves.
TEST(StatusFile, ARunCountsAndRemembersAsConfigured) {
    renewix::ScopedComInit com;
    ScratchFolder folder(L"status-runs");
    const std::string marked = Lines(1, "2.0 &lt;beta&gt; &amp; more");
    const struct {
        const char* what;
        int frequency, remember;
        const wchar_t* name;  // the configured file name ("" the default)
        std::string before;   // "" none
        bool testMode, locked;
        const wchar_t *version, *offered;
        bool serverReached, installStarted;
        bool due;
        const char* seen;  // the version the run compares against
        bool saved;
        std::string after;
        const char* logged;  // "" nothing the other rows look for
    } rows[] = {
        {"first run, configured name", 3, 1, L"state.xml", "", false, false, L"1.0", L"", false, false, true, "1.0",
         true, Lines(1, "1.0", 3), ""},
        {"counted, not due", 3, 1, L"", Lines(2, "1.0", 3), false, false, L"", L"", false, false, false, "1.0", true,
         Lines(3, "1.0", 3), ""},
        {"due at the frequency", 3, 1, L"", Lines(3, "1.0", 3), false, false, L"", L"", false, false, true, "1.0", true,
         Lines(1, "1.0", 3), "\tExecution #:\t3\r\n\tCheck frequency:\t3\r\n"},
        {"missing count reads as one", 1, 1, L"", "<Configuration>\r\n\t<ApplicationVersion>1.5</ApplicationVersion>\r\n"
         "</Configuration>\r\n", false, false, L"", L"", false, false, true, "1.5", true, Lines(1, "1.5"), ""},
        {"declined version remembered", 1, 1, L"", Lines(1, "1.0"), false, false, L"", L"2.0", true, false, true, "1.0",
         true, Lines(1, "1.0", 1, "2.0"), ""},
        {"declined version compared against", 1, 1, L"", Lines(1, "1.0", 1, "2.0"), false, false, L"", L"", false, false,
         true, "2.0", true, Lines(1, "2.0"), "\t** Detected - previously cancelled update version:\t2.0\r\n"},
        {"offer taken", 1, 1, L"", Lines(1, "2.0"), false, false, L"", L"3.0", true, true, true, "2.0", true,
         Lines(1, "2.0"), ""},
        {"server not reached", 1, 1, L"", Lines(1, "2.0"), false, false, L"", L"3.0", false, false, true, "2.0", true,
         Lines(1, "2.0"), ""},
        {"remembering not asked for", 1, 2, L"", Lines(1, "2.0"), false, false, L"", L"3.0", true, false, true, "2.0",
         true, Lines(1, "2.0"), ""},
        {"empty version keeps the recorded one", 1, 1, L"", Lines(1, "2.0"), false, false, L"", L"", false, false, true,
         "2.0", true, Lines(1, "2.0"), ""},
        {"markup written", 1, 1, L"", Lines(1, "1.0"), false, false, L"2.0 <beta> & more", L"", false, false, true,
         "2.0 <beta> & more", true, marked, ""},
        {"markup read back", 1, 1, L"", marked, false, false, L"", L"", false, false, true, "2.0 <beta> & more", true,
         marked, ""},
        {"test mode", 5, 1, L"", Lines(1, "1.0", 5), true, false, L"9.9", L"", false, false, true, "9.9", true,
         Lines(1, "1.0", 5), ""},
        {"locked file kept as it is", 1, 1, L"", Lines(4, "3.1"), false, true, L"9.9", L"", false, false, false, "9.9",
         false, Lines(4, "3.1"), "\tUnable to read config file:\t"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const ClientConfig config = ConfigFrom(L"[Application]\nStatusFileName=" + std::wstring(row.name) +
                                               L"\n[Options]\nCheckFrequency=" + std::to_wstring(row.frequency) +
                                               L"\nRememberDeclinedVersion=" + std::to_wstring(row.remember) + L"\n");
        const std::wstring path = ApplicationDirectory() + (*row.name ? row.name : L"RenewixStatus.xml");
        FakeFileManagement files;
        if (!row.before.empty()) files.PutFile(path, row.before);
        if (row.locked) files.FailOpen(path);
        RunState state;
        if (row.testMode) state.Mode = ModeTest;
        StatusFile status(config, state, TestLog());
        CapturedLog log(folder / L"status.log");
        EXPECT_EQ(status.Load(files), row.due);
        status.SetApplicationVersion(row.version);
        status.SetOfferedVersion(row.offered);
        if (row.serverReached) status.SetServerReached();
        if (row.installStarted) status.SetInstallStarted();
        EXPECT_EQ(WideToUtf8(status.ApplicationVersion()), row.seen);
        // A version written at once does not count the run; only the save at its end does.
        EXPECT_EQ(status.Write(files), row.saved);
        EXPECT_EQ(status.Save(files), row.saved);
        // The one file, under its configured name: no replacement, no file of the default name.
        EXPECT_EQ(files.FilesUnder(ApplicationDirectory()), (std::map<std::wstring, std::string>{{path, row.after}}));
        const std::string text = log.Finish();
        EXPECT_NE(text.find(row.logged), std::string::npos) << text;
        for (const auto& other : rows) {
            if (!*row.logged && *other.logged) {
                EXPECT_EQ(text.find(other.logged), std::string::npos) << text;
            }
        }
    }
}

}  // namespace
