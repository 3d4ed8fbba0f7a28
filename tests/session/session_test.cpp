#include "session/session.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "description/secure_code.h"
#include "description/signed_document.h"
#include "foundation/download_sink.h"
#include "foundation/xml_document.h"
#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "persistence/status_file.h"
#include "foundation/run_state.h"
#include "foundation/text.h"
#include "foundation/user_prompts.h"
#include "test_support.h"
#include "transfer/transfer_support.h"

namespace {

// A server that hands out one document (or a DOM error), counting how often it is asked.
class DocumentServer : public ScriptedDownloader {
public:
    static inline std::wstring document;
    static inline bool fails = false;
    static inline int loads = 0;

    using ScriptedDownloader::ScriptedDownloader;
    std::optional<XmlDocument> LoadDocument() override {
        ++loads;
        if (fails) throw XmlError{E_FAIL, L"the parser gave up"};
        XmlDocument loaded = XmlDocument::Create();
        if (!loaded.LoadText(document)) return std::nullopt;
        return loaded;
    }
    static std::unique_ptr<IFileDownloader> Make(const std::wstring&, const ServerSettings& settings,
                                                 const TransferContext& context) {
        return std::make_unique<DocumentServer>(settings, context);
    }
};

// The download page's part: what the worker told it, in order.
struct SinkRecorder : IDownloadSink {
    std::vector<std::string> calls;
    void Begin(int count, std::uint64_t total) override {
        calls.push_back("begin " + std::to_string(count) + " " + std::to_string(total));
    }
    void File(const std::wstring&, std::uint64_t size) override { calls.push_back("file " + std::to_string(size)); }
    void FileWhole(std::uint64_t size) override { calls.push_back("whole " + std::to_string(size)); }
    void Progress(std::uint64_t, std::uint64_t) override {}
    void Done(int count) override { calls.push_back("done " + std::to_string(count)); }
    void Failed() override { calls.push_back("failed"); }
};

// The prompts the wizard would show, recorded.
struct PromptRecorder : IUserPrompts {
    std::wstring shown, errorTitle;
    bool AskCredentials(CredentialKind, std::wstring*, std::wstring*) override { return false; }
    void ShowError(const std::wstring&, const std::wstring& title) override { errorTitle = title; }
    void ShowClosingMessage(const std::wstring& text) override { shown = text; }
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(com_.succeeded());
        ASSERT_TRUE(registry_.active());
        DocumentServer::fails = false;
        DocumentServer::loads = 0;
        CreateDirectoryW((folder_ / L"app").c_str(), nullptr);
    }

    // A session over a configuration with default version 1.0 and the given base code.
    Renewix& Session(const std::wstring& baseCode = L"") {
        run_.config = ConfigFrom(L"[PrimaryServer]\nDocumentProtocol=file:\nDocumentAddress=x\n[Application]\n"
                             L"DefaultVersion=1.0\nBaseSecureCode=" + baseCode + L"\n");
        session_.reset();
        selection_.emplace(run_.config, run_.transfer, DocumentServer::Make);
        session_.emplace(run_.run, *selection_, folder_ / L"downloads");
        return *session_;
    }

    // CheckUpdate of a document text against a recorded version, with the log it wrote.
    bool Check(const std::wstring& xml, const std::wstring& current, std::string* log = nullptr) {
        Renewix& session = session_ ? *session_ : Session();
        XmlDocument document = XmlDocument::Create();
        EXPECT_TRUE(document.LoadText(xml));
        CapturedLog captured(folder_ / L"session.log");
        const bool result = session.CheckUpdate(document, current);
        const std::string text = captured.Finish();
        if (log) *log = text;
        return result;
    }

    // A file list of one three-byte file (its destination is the test's to set).
    static std::wstring FileList(const std::wstring& name) {
        return L"<FileList><Directory Name=\"&lt;ApplicationDir&gt;\"><File Name=\"" + name + L"\" Size=\"3\"/>"
               L"</Directory></FileList>";
    }

    renewix::ScopedComInit com_;
    RegistryOverride registry_;
    ScratchFolder folder_{L"session"};
    TestRun run_;
    std::optional<ServerSelection> selection_;
    std::optional<Renewix> session_;
};

TEST_F(SessionTest, DocumentWithoutItsRootShowsWhatCame) {
    std::string log;
    const std::wstring text(300, L'x');
    EXPECT_FALSE(Check(L"<html><body>" + text + L"</body></html>", L"1.0", &log));
    EXPECT_TRUE(log.ends_with("XML update file not found or is corrupt\r\n\t" + std::string(256, 'x') +
                              "\r\n\t\r\n\tEnd of recording\r\n"))
        << log;
    // Five characters or fewer are not worth a dump.
    EXPECT_FALSE(Check(L"<Other>short</Other>", L"1.0", &log));
    EXPECT_EQ(log.find("short"), std::string::npos) << log;
}

TEST_F(SessionTest, VersionDecisions) {
    std::string log;
    const std::wstring files = FileList(L"a.txt");
    // A recorded "0" or nothing means the configured default version.
    EXPECT_TRUE(Check(L"<Renewix><UpdateVersion>1.10</UpdateVersion>" + files + L"</Renewix>", L"0", &log));
    EXPECT_NE(log.find("\tCurrent version:\t1.0\r\n\tRemote version :\t1.10\r\n"), std::string::npos) << log;
    EXPECT_WSTREQ8(L"1.0", run_.state.CurrentVersion);
    EXPECT_WSTREQ8(L"1.10", run_.state.UpdateVersion);
    EXPECT_WSTREQ8(L"1.0", run_.status.ApplicationVersion());

    EXPECT_FALSE(Check(L"<Renewix><UpdateVersion>0</UpdateVersion>" + files + L"</Renewix>", L"1.0", &log));
    EXPECT_NE(log.find("\tVersion read of 0 not acceptable\r\n"), std::string::npos) << log;

    EXPECT_FALSE(Check(L"<Renewix><UpdateVersion>1.9</UpdateVersion>" + files +
                       L"<UpdateNotNeeded>Up to date</UpdateNotNeeded></Renewix>",
                       L"1.10", &log));
    EXPECT_NE(log.find("\tA software update is not available\r\n"), std::string::npos) << log;
    EXPECT_WSTREQ8(L"Up to date", session_->Plan().texts[TextSlotUpdateNotNeeded]);
}

TEST_F(SessionTest, WithoutAVersionTheFilesDecide) {
    Session();
    run_.state.CurrentVersion = L"kept";
    run_.state.UpdateVersion = L"kept too";
    std::string log;
    EXPECT_TRUE(Check(L"<Renewix>" + FileList(L"a.txt") + L"</Renewix>", L"9.9", &log));
    EXPECT_EQ(log.find("Checking requirement for update"), std::string::npos);
    EXPECT_WSTREQ8(L"kept", run_.state.CurrentVersion);
    EXPECT_WSTREQ8(L"kept too", run_.state.UpdateVersion);
    EXPECT_EQ(session_->Plan().files.Count(), 1u);
}

TEST_F(SessionTest, ANewerVersionWithoutFilesIsNotOffered) {
    Renewix& session = Session();
    EXPECT_FALSE(Check(L"<Renewix><UpdateVersion>2.0</UpdateVersion>"
                       L"<ShellExec><Execute File=\"x.exe\" Point=\"4\"/></ShellExec>"
                       L"<RegList><Key Name=\"HKEY_CURRENT_USER\"><Value Name=\"v\" Action=\"Create\"/></Key></RegList>"
                       L"</Renewix>",
                       L"1.0"));
    EXPECT_EQ(session.Plan().files.Count(), 0u);
    EXPECT_EQ(session.Plan().execute.Entries().size(), 1u);
    EXPECT_EQ(session.Plan().registry.Entries().size(), 1u);
}

TEST_F(SessionTest, UpdateTypeAndRestartOptions) {
    struct Case {
        RunMode mode;
        const wchar_t* options;
        int uiKind, restartKind, doNotTerminate;
    };
    const Case cases[] = {
        {ModeCheckBackground, L"<UpdateType>Silent</UpdateType>", 0, 1, 0},
        {ModeCheckBackground, L"<UpdateType>Critical</UpdateType>", 2, 1, 0},
        {ModeCheckNow, L"<UpdateType>Silent</UpdateType>", 1, 1, 0},  // the user asked: the wizard still runs
        {ModeCheckBackground, L"<UpdateType>silent</UpdateType>", 1, 1, 0},
        {ModeCheckBackground, L"<Restart>Automatic</Restart>", 1, 0, 0},
        {ModeCheckBackground, L"<Restart>automatic</Restart>", 1, 0, 0},
        {ModeCheckBackground, L"<Restart>No restart</Restart>", 1, 2, 0},
        {ModeCheckBackground, L"<Restart>Do not terminate EXE</Restart>", 1, 2, 1},
        {ModeCheckBackground, L"<Restart>Later</Restart>", 1, 1, 0},
    };
    for (const Case& c : cases) {
        RunState& state = run_.state;
        state.Reset();
        state.Mode = c.mode;
        Session();
        Check(L"<Renewix><UpdateVersion>2.0</UpdateVersion>" + std::wstring(c.options) + FileList(L"a.txt") +
                  L"</Renewix>",
              L"1.0");
        const UpdateOptions& options = session_->Plan().options;
        EXPECT_EQ(options.uiKind, c.uiKind) << WideToUtf8(c.options);
        EXPECT_EQ(options.restartKind, c.restartKind) << WideToUtf8(c.options);
        EXPECT_EQ(options.doNotTerminate ? 1 : 0, c.doNotTerminate) << WideToUtf8(c.options);
    }
}

TEST_F(SessionTest, TheSixTextsOfTheDocument) {
    // A text the next document lacks does not survive from an earlier one.
    EXPECT_TRUE(Check(L"<Renewix><UpdateVersion>2.0</UpdateVersion>" + FileList(L"a.txt") +
                          L"<License>from an earlier document</License></Renewix>",
                      L"1.0"));
    EXPECT_WSTREQ8(L"from an earlier document", session_->Plan().texts[TextSlotLicense]);
    EXPECT_TRUE(Check(L"<Renewix><UpdateVersion>2.0</UpdateVersion>" + FileList(L"a.txt") +
                          L"<Welcome>W</Welcome><Reason>R</Reason><UpdateNotNeeded>U</UpdateNotNeeded>"
                          L"<InstallComplete>I</InstallComplete><SilentFinished>S</SilentFinished></Renewix>",
                      L"1.0"));
    EXPECT_WSTREQ8(L"W", session_->Plan().texts[TextSlotWelcome]);
    EXPECT_WSTREQ8(L"", session_->Plan().texts[TextSlotLicense]);
    EXPECT_WSTREQ8(L"R", session_->Plan().texts[TextSlotReason]);
    EXPECT_WSTREQ8(L"U", session_->Plan().texts[TextSlotUpdateNotNeeded]);
    EXPECT_WSTREQ8(L"I", session_->Plan().texts[TextSlotInstallComplete]);
    EXPECT_WSTREQ8(L"S", session_->Plan().texts[TextSlotSilentFinished]);
}

// The document is loaded once per process: the wizard and start-up may both ask.
TEST_F(SessionTest, LoadingOnceAndItsFailures) {
    DocumentServer::document = L"<Renewix><UpdateVersion>2.0</UpdateVersion>" + FileList(L"a.txt") + L"</Renewix>";
    Renewix& session = Session();
    {
        CapturedLog log(folder_ / L"load.log");
        EXPECT_TRUE(session.LoadUpdateDocument(L"1.0"));
        EXPECT_TRUE(session.LoadUpdateDocument(L"9.0"));
    }
    EXPECT_EQ(DocumentServer::loads, 1);
    EXPECT_TRUE(session.IsChecked());

    DocumentServer::fails = true;
    Renewix& failing = Session();
    std::string text;
    {
        CapturedLog log(folder_ / L"error.log");
        EXPECT_FALSE(failing.LoadUpdateDocument(L"1.0"));
        text = log.Finish();
    }
    EXPECT_NE(text.find("\tError processing XML:\tthe parser gave up\r\n"), std::string::npos) << text;
    EXPECT_FALSE(failing.LoadUpdateDocument(L"1.0"));
    EXPECT_EQ(DocumentServer::loads, 2);

    // A document the server cannot give: the update is called off and the download folder goes.
    DocumentServer::fails = false;
    DocumentServer::document = L"<Renewix>";
    Renewix& missing = Session();
    CreateDirectoryW((folder_ / L"downloads").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", "left over"));
    {
        CapturedLog log(folder_ / L"missing.log");
        EXPECT_FALSE(missing.LoadUpdateDocument(L"1.0"));
        text = log.Finish();
    }
    EXPECT_NE(text.find("\tUnable to load XML configuration. Check that file exists on server (paste address into IE "
                        "or explorer).\r\n\r\nUpdate will not be undertaken\r\n"),
              std::string::npos)
        << text;
    EXPECT_FALSE(Exists(folder_ / L"downloads"));
}

// Before a document is fetched, an installation an earlier run left is taken back; one that
// cannot be is left whole, with its folder, and nothing is fetched or installed over it.
TEST_F(SessionTest, AnInterruptedInstallationIsResolvedBeforeAnythingIsFetched) {
    DocumentServer::document = L"<Renewix><UpdateVersion>2.0</UpdateVersion>" + FileList(L"a.txt") + L"</Renewix>";
    const std::wstring downloads = folder_ / L"downloads", added = folder_ / L"app\\added.txt";
    CreateDirectoryW(downloads.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(added, "new"));
    ASSERT_TRUE(WriteFileBytes(downloads + L"\\install.journal",
                               WideToUtf8(L"begin\t2.0\r\nplaced\t" + added + L"\t\t" + downloads +
                                          L"\\UpdateFile1\t0\r\n")));
    std::string text;
    {
        CapturedLog log(folder_ / L"recover.log");
        EXPECT_TRUE(Session().LoadUpdateDocument(L"1.0"));
        text = log.Finish();
    }
    EXPECT_NE(text.find("\tThe interrupted installation was taken back: the program is as it was before\r\n"),
              std::string::npos) << text;
    EXPECT_FALSE(Exists(added));
    EXPECT_EQ(ReadFileBytes(downloads + L"\\UpdateFile1"), "new");
    EXPECT_EQ(DocumentServer::loads, 1);

    ASSERT_TRUE(WriteFileBytes(downloads + L"\\install.journal", "not a journal\r\n"));
    ASSERT_TRUE(WriteFileBytes(downloads + L"\\a.txt.0badc0de.bak", "the only old copy"));
    {
        CapturedLog log(folder_ / L"kept.log");
        EXPECT_FALSE(Session().LoadUpdateDocument(L"1.0"));
        text = log.Finish();
    }
    EXPECT_NE(text.find("\r\nUpdate will not be undertaken\r\n\tKept for an interrupted installation:\t"),
              std::string::npos) << text;
    EXPECT_EQ(ReadFileBytes(downloads + L"\\a.txt.0badc0de.bak"), "the only old copy");
    EXPECT_EQ(DocumentServer::loads, 1);
}

// The downloads are checked again before the program is asked to close: one that changed since
// stops the update with the program still running and nothing replaced. A silent update that
// went through ends with the document's own closing message.
TEST_F(SessionTest, ADownloadThatChangedStopsTheUpdateBeforeTheProgramIsClosed) {
    const std::string bytes = "new";
    DocumentServer::document = L"<Renewix><UpdateVersion>2.0</UpdateVersion><UpdateType>Silent</UpdateType>"
                               L"<SilentFinished>All done</SilentFinished>"
                               L"<FileList><Directory Name=\"&lt;ApplicationDir&gt;\"><File Name=\"a.txt\" Size=\"3\" "
                               L"SHA256=\"" + HexText(Sha256Of(bytes.data(), bytes.size())) +
                               L"\"/></Directory></FileList></Renewix>";
    struct Case {
        std::string downloadAtInstall;
        bool installed;
        const wchar_t* shown;
    };
    const Case cases[] = {
        {"bad", false, L"An error occured during the update process."},
        {bytes, true, L"All done"},  // last: it records the new version
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.downloadAtInstall);
        CreateDirectoryW((folder_ / L"downloads").c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", bytes));
        ASSERT_TRUE(WriteFileBytes(folder_ / L"a.txt", "old"));
        Renewix& session = Session();
        ASSERT_TRUE(session.LoadUpdateDocument(L"1.0"));
        ASSERT_TRUE(session.Plan().files.Entries()[0].alreadyDownloaded);
        session.Plan().files.Entries()[0].destination = folder_ / L"a.txt";
        // The page counts what this run fetches: nothing, the one file is there already.
        SinkRecorder page;
        ASSERT_TRUE(session.StartDownload(&page));
        session.JoinWorker();
        ASSERT_FALSE(page.calls.empty());
        EXPECT_EQ(page.calls.front(), "begin 0 0");
        ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", c.downloadAtInstall));
        // A silent document shown by the wizard still tells its user.
        PromptRecorder prompts;
        session.SetPrompts(&prompts);
        std::string text;
        {
            CapturedLog log(folder_ / L"changed.log");
            EXPECT_EQ(session.InstallAndFinish(), c.installed);
            text = log.Finish();
        }
        EXPECT_EQ(prompts.shown.rfind(c.shown, 0), 0u) << WideToUtf8(prompts.shown);
        EXPECT_EQ(ReadFileBytes(folder_ / L"a.txt"), c.installed ? bytes : "old");
        if (!c.installed) {
            EXPECT_NE(text.find("A downloaded file does not match the update description"), std::string::npos) << text;
            EXPECT_EQ(text.find("Terminating main application"), std::string::npos) << text;
        }
    }
}

// The worker hands the document's SHA-256 to the transfer: a file forged to its size and CRC is
// refused while it is fetched, before anything asks to install it.
TEST_F(SessionTest, AForgedDownloadIsRefusedWhileItIsFetched) {
    const std::string listed = "new", served = "NEW";
    DocumentServer::document = L"<Renewix><UpdateVersion>2.0</UpdateVersion><FileList><Directory Name=\"x\">"
                               L"<File Name=\"a.txt\" Size=\"3\" CRC=\"" + FormatText(L"%08lX", CrcOf(served)) +
                               L"\" SHA256=\"" + HexText(Sha256Of(listed.data(), listed.size())) +
                               L"\"/></Directory></FileList></Renewix>";
    Renewix& session = Session();
    ASSERT_TRUE(session.LoadUpdateDocument(L"1.0"));
    ScriptedDownloader::chunks = {served};
    SinkRecorder page;
    ASSERT_TRUE(session.StartDownload(&page));
    session.JoinWorker();
    EXPECT_EQ(page.calls.back(), "failed");
    EXPECT_FALSE(Exists(folder_ / L"downloads\\UpdateFile1"));
}

// A patch that cannot be used is followed by the file itself, which the page shows as the
// same file, the total grown by its size.
TEST_F(SessionTest, AFileFetchedAfterItsPatchFailedIsTheSameFileOnThePage) {
    const std::string old = "old", fresh = "new", patch = "junk";
    const auto crcText = [](const std::string& bytes) { return FormatText(L"%08lX", CrcOf(bytes)); };
    const auto hash = [](const std::string& bytes) { return HexText(Sha256Of(bytes.data(), bytes.size())); };
    DocumentServer::document = L"<Renewix><UpdateVersion>2.0</UpdateVersion><UpdateType>Silent</UpdateType>"
                               L"<FileList><Directory Name=\"&lt;ApplicationDir&gt;\"><File Name=\"a.txt\" Size=\"3\" "
                               L"CRC=\"" + crcText(fresh) + L"\" SHA256=\"" + hash(fresh) + L"\" Patch=\"a.txt.patch\" "
                               L"PatchFrom=\"" + hash(old) + L"\" PatchSize=\"4\" PatchCRC=\"" + crcText(patch) +
                               L"\" PatchSHA256=\"" + hash(patch) + L"\"/></Directory></FileList></Renewix>";
    ASSERT_TRUE(WriteFileBytes(folder_ / L"a.txt", old));
    Renewix& session = Session();
    ASSERT_TRUE(session.LoadUpdateDocument(L"1.0"));
    ASSERT_TRUE(session.Plan().files.Entries()[0].patch);
    session.Plan().files.Entries()[0].destination = folder_ / L"a.txt";
    ScriptedDownloader::chunks = {patch, "", fresh};  // an empty read ends a file
    SinkRecorder page;
    ASSERT_TRUE(session.StartDownload(&page));
    session.JoinWorker();
    EXPECT_EQ(page.calls, (std::vector<std::string>{"begin 1 4", "file 4", "whole 3", "done 1"}));
    EXPECT_EQ(ReadFileBytes(folder_ / L"downloads\\UpdateFile1"), fresh);
}

// Files are what counts: a registry list that fails is logged, and the update still succeeded.
TEST_F(SessionTest, ARegistryFailureStillCountsAsSuccess) {
    Renewix& session = Session();
    ASSERT_TRUE(WriteFileBytes(folder_ / L"a.txt", "old"));
    ASSERT_TRUE(Check(L"<Renewix><UpdateVersion>2.0</UpdateVersion>" + FileList(L"a.txt") +
                          L"<RegList><Key Name=\"HKEY_CURRENT_USER\"><Key Name=\"Software\"><Key Name=\"RenewixTest\">"
                          L"<Value Name=\"v\" Action=\"Add REG_BINARY 00\"/></Key></Key></Key></RegList></Renewix>",
                      L"1.0"));
    CreateDirectoryW((folder_ / L"downloads").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", "new"));
    session.Plan().files.Entries()[0].destination = folder_ / L"a.txt";
    session.Plan().files.Entries()[0].crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("new"), 3));
    std::string text;
    {
        CapturedLog log(folder_ / L"install.log");
        EXPECT_TRUE(session.Install());
        text = log.Finish();
    }
    EXPECT_EQ(ReadFileBytes(folder_ / L"a.txt"), "new");
    EXPECT_NE(text.find("\tUnable to update user registry:\tAdd REG_BINARY 00; v, HKEY_CURRENT_USER\\Software\\"
                        "RenewixTest\r\n\r\nThere were errors trying to update the registry.\r\n\r\nUpdate was "
                        "successful!\r\n"),
              std::string::npos)
        << text;
}

// With trusted keys the document's bytes come through the downloader, are verified, and are
// parsed as they were verified; the server's own parse is never asked for.
TEST_F(SessionTest, WithTrustedKeysOnlySignedBytesAreUsed) {
    const Ed25519Seed seed = SeedOf(7);
    const std::string document = "<Renewix><UpdateVersion>2.0</UpdateVersion><Expires>2999-01-01T00:00:00Z</Expires>"
                                 "<FileList><Directory Name=\"x\">"
                                 "<File Name=\"a.txt\" Size=\"3\" SHA256=\"" + std::string(64, '0') +
                                 "\"/></Directory></FileList></Renewix>\r\n";
    const std::string signedBytes = SignedBytes(document, seed);
    DocumentServer::document = L"<Renewix><UpdateVersion>2.0</UpdateVersion>" + FileList(L"a.txt") + L"</Renewix>";
    ScriptedDownloader::reportedSize = -1;

    struct Case {
        std::string served;
        bool offered;
        const char* logged;
    };
    const Case cases[] = {
        {signedBytes, true, "\tSignature verified, signing key:\t"},
        {document, false, "\r\nUpdate description refused: it is not signed\r\n\r\nUpdate will not be undertaken\r\n"},
        {signedBytes.substr(0, 20) + "3" + signedBytes.substr(21), false,
         "\r\nUpdate description refused: its signature does not match its content\r\n"},
    };
    for (const Case& c : cases) {
        Session();
        run_.config.SetKeys(TrustedKeys({PublicKeyFor(seed)}));
        // In two pieces, as a server sends it.
        ScriptedDownloader::chunks = {c.served.substr(0, 50), c.served.substr(50)};
        std::string text;
        {
            CapturedLog log(folder_ / L"signed.log");
            EXPECT_EQ(session_->LoadUpdateDocument(L"1.0"), c.offered);
            text = log.Finish();
        }
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        EXPECT_EQ(DocumentServer::loads, 0);
        EXPECT_EQ(session_->Plan().files.Count(), c.offered ? 1u : 0u);
    }

    // Test mode on such a client takes only a signed local document: it still runs its programs.
    for (const Case& c : cases) {
        Session();
        run_.config.SetKeys(TrustedKeys({PublicKeyFor(seed)}));
        ASSERT_TRUE(WriteFileBytes(folder_ / L"local.xml", c.served));
        session_->SetLocalDocument(folder_ / L"local.xml");
        CapturedLog log(folder_ / L"test-mode.log");
        EXPECT_EQ(session_->LoadUpdateDocument(L"1.0"), false);  // test mode reads no file list
        EXPECT_EQ(session_->IsChecked(), c.offered) << c.logged;
    }
}

TEST_F(SessionTest, ChecksDocumentsAgainstTheConfiguredBaseCode) {
    Renewix& session = Session();
    EXPECT_FALSE(session.IsTest());
    // Without a base code, documents without a code pass, and a code that is there is still checked.
    XmlDocument document = XmlDocument::Create();
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateVersion>1</UpdateVersion></Renewix>"));
    EXPECT_TRUE(session.CheckSecureCode(document));
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateVersion>1</UpdateVersion><SecureCode>1</SecureCode></Renewix>"));
    EXPECT_FALSE(session.CheckSecureCode(document));
    EXPECT_FALSE(Session(L"1A2B").CheckSecureCode(
        [] {
            XmlDocument bare = XmlDocument::Create();
            bare.LoadText(L"<Renewix><UpdateVersion>1</UpdateVersion></Renewix>");
            return bare;
        }()));

    // With a base code, what follows the code is not the vendor's and is not planned.
    const std::wstring covered = L"<UpdateVersion>2.0</UpdateVersion><FileList><Directory Name=\"x\">"
                                 L"<File Name=\"a.txt\" Size=\"3\"/></Directory></FileList>";
    const std::wstring code = L"<SecureCode>" + FormatText(L"%08lX", SecureCodeFor(0x1A2B, covered)) + L"</SecureCode>";
    Session(L"1A2B");
    EXPECT_TRUE(Check(L"<Renewix>" + covered + code + L"<ShellExec><Execute File=\"x.exe\" Point=\"4\"/></ShellExec>"
                      L"<RegList><Key Name=\"HKEY_CURRENT_USER\"><Value Name=\"v\" Action=\"Create\"/></Key></RegList>"
                      L"</Renewix>", L"1.0"));
    EXPECT_EQ(session_->Plan().files.Count(), 1u);
    EXPECT_TRUE(session_->Plan().execute.Entries().empty());
    EXPECT_TRUE(session_->Plan().registry.Entries().empty());

    // A test run tells its user when a code does not match; a real run only logs it.
    DocumentServer::document = L"<Renewix>" + covered + L"<SecureCode>1</SecureCode></Renewix>";
    ASSERT_TRUE(WriteFileBytes(folder_ / L"local.xml", WideToUtf8(DocumentServer::document)));
    for (const bool test : {false, true}) {
        Session(L"1A2B");
        PromptRecorder prompts;
        session_->SetPrompts(&prompts);
        if (test) session_->SetLocalDocument(folder_ / L"local.xml");
        CapturedLog log(folder_ / L"code.log");
        EXPECT_FALSE(session_->LoadUpdateDocument(L"1.0"));
        EXPECT_EQ(prompts.errorTitle.empty(), !test);
    }
}

}  // namespace
