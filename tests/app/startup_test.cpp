#include "app/startup.h"

#include <gtest/gtest.h>

#include <regex>

#include "description/variables.h"
#include "fake_file_management.h"
#include "foundation/cancellation.h"
#include "foundation/paths.h"
#include "foundation/run_state.h"
#include "foundation/text.h"
#include "install/install_journal.h"
#include "persistence/status_file.h"
#include "session/session.h"
#include "test_support.h"
#include "transfer/transfer_support.h"

namespace {

std::string LogText(const std::string& bytes) {
    if (bytes.size() < 2) return {};
    return WideToUtf8(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2));
}

// What the run showed and started, in order; a launch is marked by what the log held then.
struct FrontRecorder : IRunFront {
    const Log* log = nullptr;
    const FakeFileManagement* files = nullptr;
    std::wstring logPath;
    bool launches = true;
    std::vector<std::string> events;

    void ShowMessage(const std::wstring& text) override { events.push_back("message " + WideToUtf8(text)); }
    bool RunWizard() override {
        events.push_back("wizard");
        return false;
    }
    void RunScheduler() override { events.push_back("scheduler"); }
    bool Launch() override {
        if (!log->IsOpen()) {
            events.push_back("launch before the log");
        } else {
            const bool recovered =
                LogText(files->FileBytes(logPath)).find("An interrupted installation was found") != std::string::npos;
            events.push_back(recovered ? "launch after recovery" : "launch");
        }
        return launches;
    }
    void AwaitOtherClient(bool background) override { events.push_back(background ? "await long" : "await"); }
};

// The record's settings: the vendor's program and the run's options.
std::wstring Settings(const std::wstring& program, const std::wstring& options) {
    return L"[Application]\nMainApplication=" + program +
           L"\nApplicationName=Example Viewer\nCheckNowKeyword=CheckNow\nBackgroundKeyword=0\n"
           L"LogFileName=RenewixLog.txt\nDefaultVersion=1.0\n[Options]\n" + options;
}
const wchar_t kAfter[] = L"LoggingEnabled=1\nCheckFrequency=1\nLaunchAfterCheck=1\n";
const wchar_t kFirst[] = L"LoggingEnabled=1\nCheckFrequency=1\nLaunchAfterCheck=0\n";
const wchar_t kEverySecond[] = L"LoggingEnabled=1\nCheckFrequency=2\nLaunchAfterCheck=1\n";
const wchar_t kNoLog[] = L"LoggingEnabled=0\nCheckFrequency=1\nLaunchAfterCheck=1\n";

// A status file that counted `count` runs; with a frequency of 2 the next run is not due.
std::string StatusAfter(int count) {
    return "<Configuration>\r\n\t<NumExecutions>" + std::to_string(count) + "</NumExecutions>\r\n</Configuration>\r\n";
}

// The mode a client is started in decides what it shows and starts, and when; a client that
// finds another running leaves that one's log and status file as they are. Unless a row gives
// an update, no server is configured, so a check that loads the document finds nothing.
TEST(StartUp, EachModeShowsAndStartsWhatItShould) {
    renewix::ScopedComInit com;
    ScratchFolder folder(L"startup");
    const std::wstring logPath = ApplicationDirectory() + L"RenewixLog.txt";
    const std::wstring statusPath = ApplicationDirectory() + L"RenewixStatus.xml";
    const std::string otherLog = "\xff\xfe<the running client's log>";
    const std::string checkRunning = "message An update check is already running";
    const std::wstring ownName = ModulePath().substr(ApplicationDirectory().size());
    const std::string sameName = "message " + WideToUtf8(SameNameMessage(ModulePath()));
    const std::string unableToLaunch =
        "\tAutomatic launch of the main application\r\n\tUnable to launch:\t" + WideToUtf8(ApplicationDirectory()) +
        "Viewer.exe\r\n";
    const struct {
        const char* what;
        const wchar_t* options;  // nullptr: the client carries no record at all
        const wchar_t* commandLine;
        bool otherClient;  // another client holds the single-instance mutex
        bool journal;      // an installation was interrupted
        bool launches;
        std::string status;  // the status file before the run ("" none)
        std::vector<std::string> events;
        std::string logged;  // "" when the run must write no log
        bool statusWritten;
        const wchar_t* update = nullptr;  // the update type element of a version 2.0 on a share
        const wchar_t* program = L"Viewer.exe";  // the program the record names
    } rows[] = {
        {"check now", kAfter, L"/-checknow /x", false, false, true, "", {"wizard"},
         "\tCommand line:\t/-checknow /x\r\n\tCheckNow mode detected\r\n\tLanguage:\t", true},
        {"background check finds nothing", kAfter, L"0", false, false, true, "", {},
         "\tCommand line:\t0\r\n\tCheckBackground mode detected\r\n", true},
        {"background check installs a silent update", kAfter, L"0", false, false, true, "", {},
         "\tFile transfer status:\tSuccess\r\n", true, L"<UpdateType>Silent</UpdateType>"},
        {"background check hands any other update to the wizard", kAfter, L"0", false, false, true, "",
         {"wizard"}, "\tCheckBackground mode detected\r\n", true, L""},
        {"schedule page, due or not", kEverySecond, L"/Scheduler", false, false, true, StatusAfter(0),
         {"scheduler"}, "\tScheduler mode detected\r\n", true},
        {"check now, not due", kEverySecond, L"CheckNow", false, false, true, StatusAfter(0), {},
         "\tCheckNow mode detected\r\n", true},
        {"program started when no check is due", kEverySecond, L"report.txt", false, false, true, StatusAfter(0),
         {"launch"}, "\tCommand line:\treport.txt\r\n", true},
        {"program started after its check", kAfter, L"report.txt /p", false, false, true, "",
         {"wizard", "launch"}, "\tCommand line:\treport.txt /p\r\n\tLanguage:\t", true},
        {"program started first", kFirst, L"", false, false, true, "", {"launch before the log"},
         "\tAutomatic launch of the main application\r\n", true},
        {"program started once its files are one version", kFirst, L"", false, true, true, "",
         {"launch after recovery"}, "\tAutomatic launch of the main application\r\n", true},
        {"program that cannot start", kFirst, L"", false, false, false, "",
         {"launch before the log"}, unableToLaunch, true},
        {"keyword runs start no program", kFirst, L"CheckNow record", false, false, true, "",
         {"wizard"}, "\tCheckNow mode detected\r\n", true},
        {"test run writes no log and no status, and finishes no installation", kAfter,
         L"testMode C:\\t\\u.xml", false, true, true, "", {"wizard"}, "", false},
        {"log switched off", kNoLog, L"CheckNow", false, false, true, "", {"wizard"}, "", true},
        {"the client named as its own program", kAfter, L"CheckNow", false, false, true, "", {sameName}, "\tOS:\t",
         false, nullptr, ownName.c_str()},
        {"a client never configured", nullptr, L"CheckNow", false, false, false, "", {"launch before the log"},
         "", true},
        {"second check now", kAfter, L"CheckNow", true, false, true, StatusAfter(0), {"await", checkRunning},
         "", false},
        {"second background check", kAfter, L"0", true, false, true, StatusAfter(0), {"await long"}, "", false},
        {"second start still starts the program", kFirst, L"", true, false, true, StatusAfter(0),
         {"launch before the log", "await"}, "", false},
    };
    const std::regex header("\tDate:\t\\d\\d/\\d\\d/\\d\\d, \\d\\d:\\d\\d:\\d\\d\r\n"
                            "\tClient:\t\\d+\\.\\d+\\.\\d+\\.\\d+\r\n"
                            "\tOS:\tWindows [^\r\n]+ \\((x86|x64|ARM64)\\)\r\n");
    const std::regex language("\tLanguage:\t-?\\d+\r\n\tLocale  :\t\\d+\r\n");
    const std::wstring share = folder / L"update.xml";
    ASSERT_TRUE(WriteFileBytes(folder / L"a.txt", "new"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::wstring server =
            row.update ? L"[PrimaryServer]\nDocumentProtocol=file:\nDocumentAddress=" + share + L"\n" : L"";
        if (row.update) {
            ASSERT_TRUE(WriteFileBytes(share, WideToUtf8(L"<Renewix><UpdateVersion>2.0</UpdateVersion>" +
                                                         std::wstring(row.update) +
                                                         L"<FileList><Directory Name=\"&lt;ApplicationDir&gt;\">"
                                                         L"<File Name=\"a.txt\" Size=\"3\"/></Directory></FileList>"
                                                         L"</Renewix>")));
        }
        const ClientConfig config =
            row.options ? ConfigFrom(server + Settings(row.program, row.options)) : ClientConfig{};
        RunState state;
        Log log;
        StatusFile status(config, state, log);
        TextVariables variables(config, state, log);
        FakeFileManagement files;
        renewix::Cancellation cancellation;
        const RunContext run{config, state, log, status, variables, files, cancellation};
        ServerSelection selection(config, TransferContext{log, variables, &cancellation});
        const std::wstring downloads = folder.path() + L"\\downloads";
        Renewix session(run, selection, downloads);
        // A whole installation whose clearing up was cut short: recovering it records its version.
        const std::wstring journal = downloads + L"\\" + kInstallJournalName;
        if (row.journal) files.PutFile(journal, "begin\t2.0\r\ncommitted\r\n");
        if (!row.status.empty()) files.PutFile(statusPath, row.status);
        if (row.otherClient) files.PutFile(logPath, otherLog);
        const std::wstring mutexName = L"RenewixStartupTest-" + std::to_wstring(GetCurrentProcessId());
        renewix::UniqueHandle other(row.otherClient ? CreateMutexW(nullptr, FALSE, mutexName.c_str()) : nullptr);

        FrontRecorder front;
        front.log = &log;
        front.files = &files;
        front.logPath = logPath;
        front.launches = row.launches;
        RunStarted(run, session, selection, front, row.commandLine, SW_SHOWNORMAL, mutexName.c_str());

        EXPECT_EQ(front.events, row.events);
        const std::string logged = LogText(files.FileBytes(logPath));
        if (row.otherClient) {
            EXPECT_EQ(files.FileBytes(logPath), otherLog);
        } else if (row.logged.empty()) {
            EXPECT_FALSE(files.HasFile(logPath)) << logged;
        } else {
            EXPECT_NE(logged.find(row.logged), std::string::npos) << logged;
            EXPECT_TRUE(logged.ends_with("\tEnd of recording\r\n")) << logged;
            // The client's own version and the machine's architecture head every log.
            EXPECT_TRUE(std::regex_search(logged, header)) << logged;
            if (logged.find("\tLanguage:\t") != std::string::npos) {
                EXPECT_TRUE(std::regex_search(logged, language)) << logged;
            }
        }
        EXPECT_EQ(files.FileBytes(statusPath) != row.status, row.statusWritten);
        // Every run but a test run finishes what an interrupted one left.
        if (row.journal) {
            EXPECT_EQ(files.HasFile(journal), state.Mode == ModeTest);
        }
    }
}

}  // namespace
