#include "session/session.h"

#include <gtest/gtest.h>

#include "description/secure_code.h"
#include "description/signed_document.h"
#include "foundation/xml_document.h"
#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "persistence/status_file.h"
#include "foundation/run_state.h"
#include "foundation/text.h"
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

    // What `call` returns, with the log it wrote when `log` is given.
    template <typename Call>
    auto Logged(Call call, std::string* log = nullptr) {
        CapturedLog captured(folder_ / L"session.log");
        auto result = call();
        if (log) *log = captured.Finish();
        return result;
    }
    // CheckUpdate of a document text against a recorded version.
    bool Check(const std::wstring& xml, const std::wstring& current, std::string* log = nullptr) {
        Renewix& session = session_ ? *session_ : Session();
        return Logged([&] { return session.CheckUpdate(Parsed(xml), current); }, log);
    }
    bool Load(Renewix& session, std::string* log = nullptr) {
        return Logged([&] { return session.LoadUpdateDocument(L"1.0"); }, log);
    }

    static XmlDocument Parsed(const std::wstring& xml) {
        XmlDocument document = XmlDocument::Create();
        EXPECT_TRUE(document.LoadText(xml));
        return document;
    }

    static std::wstring Document(const std::wstring& elements) { return L"<Renewix>" + elements + L"</Renewix>"; }
    static std::wstring Version(const std::wstring& version) {
        return L"<UpdateVersion>" + version + L"</UpdateVersion>";
    }
    static std::wstring Attribute(const wchar_t* name, const std::wstring& value) {
        return std::wstring(L" ") + name + L"=\"" + value + L"\"";
    }
    // A file list of one three-byte file, a.txt (its destination is the test's to set).
    static std::wstring FileList(const std::wstring& attributes = L"") {
        return L"<FileList><Directory Name=\"&lt;ApplicationDir&gt;\"><File Name=\"a.txt\" Size=\"3\"" +
               attributes + L"/></Directory></FileList>";
    }
    // Version 2.0 of that one file.
    static std::wstring Offer(const std::wstring& more = L"", const std::wstring& fileAttributes = L"") {
        return Document(Version(L"2.0") + more + FileList(fileAttributes));
    }
    static std::wstring CrcText(const std::string& bytes) { return FormatText(L"%08lX", CrcOf(bytes)); }
    static std::wstring HashText(const std::string& bytes) { return HexText(Sha256Of(bytes.data(), bytes.size())); }
    static std::wstring Lists() {
        return L"<ShellExec><Execute File=\"x.exe\" Point=\"4\"/></ShellExec>"
               L"<RegList><Key Name=\"HKEY_CURRENT_USER\"><Value Name=\"v\" Action=\"Create\"/></Key></RegList>";
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
    EXPECT_FALSE(Check(L"<html><body>" + std::wstring(300, L'x') + L"</body></html>", L"1.0", &log));
    // The start of it only.
    EXPECT_NE(log.find(std::string(256, 'x')), std::string::npos) << log;
    EXPECT_EQ(log.find(std::string(257, 'x')), std::string::npos) << log;
    // Five characters or fewer are not worth a dump.
    EXPECT_FALSE(Check(L"<Other>short</Other>", L"1.0", &log));
    EXPECT_EQ(log.find("short"), std::string::npos) << log;
}

// Each document follows one that set a licence text and no version; the state starts as "kept".
TEST_F(SessionTest, CheckUpdateDecisions) {
    struct Case {
        const char* what;
        std::wstring document;
        const wchar_t* recorded;
        bool offered;
        const wchar_t *current, *remote;
        std::size_t files = 0, execute = 0, registry = 0;
        DocumentTextSet texts{};
    };
    const Case cases[] = {
        {"an unrecorded version is the configured one", Document(Version(L"1.10") + FileList()), L"0", true, L"1.0",
         L"1.10", 1},
        {"versions compare by number", Document(Version(L"1.9") + L"<UpdateNotNeeded>U</UpdateNotNeeded>" + FileList()),
         L"1.10", false, L"1.10", L"1.9", 0, 0, 0, {L"", L"", L"", L"U"}},
        {"the same version", Offer(), L"2.0", false, L"2.0", L"2.0"},
        {"version 0 refuses the document", Document(Version(L"0") + L"<Welcome>W</Welcome>" + FileList()), L"1.0",
         false, L"1.0", L"0", 0, 0, 0, {L"", L"earlier"}},
        {"without a version the files decide", Document(FileList()), L"9.9", true, L"kept", L"kept", 1},
        {"a newer version without files", Document(Version(L"2.0") + Lists()), L"1.0", false, L"1.0", L"2.0", 0, 1, 1},
        {"the six texts", Offer(L"<Welcome>W</Welcome><Reason>R</Reason><UpdateNotNeeded>U</UpdateNotNeeded>"
                                L"<InstallComplete>I</InstallComplete><SilentFinished>S</SilentFinished>"),
         L"1.0", true, L"1.0", L"2.0", 1, 0, 0, {L"W", L"", L"R", L"U", L"I", L"S"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Session();
        Check(Document(L"<License>earlier</License>"), L"1.0");
        run_.state.CurrentVersion = run_.state.UpdateVersion = L"kept";
        run_.status.SetApplicationVersion(L"kept");
        EXPECT_EQ(Check(c.document, c.recorded), c.offered);
        EXPECT_WSTREQ8(c.current, run_.state.CurrentVersion);
        EXPECT_WSTREQ8(c.current, run_.status.ApplicationVersion());
        EXPECT_WSTREQ8(c.remote, run_.state.UpdateVersion);
        const UpdatePlan& plan = session_->Plan();
        EXPECT_EQ(plan.files.Count(), c.files);
        EXPECT_EQ(plan.execute.Entries().size(), c.execute);
        EXPECT_EQ(plan.registry.Entries().size(), c.registry);
        EXPECT_EQ(plan.texts, c.texts);
    }
}

TEST_F(SessionTest, UpdateTypeAndRestartOptions) {
    struct Case {
        RunMode mode;
        const wchar_t* options;
        int uiKind, restartKind, doNotTerminate;
    };
    const Case cases[] = {
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
        SCOPED_TRACE(WideToUtf8(c.options));
        Check(Offer(c.options), L"1.0");
        const UpdateOptions& options = session_->Plan().options;
        EXPECT_EQ(options.uiKind, c.uiKind);
        EXPECT_EQ(options.restartKind, c.restartKind);
        EXPECT_EQ(options.doNotTerminate ? 1 : 0, c.doNotTerminate);
    }
}

// The document is loaded once per process: the wizard and start-up may both ask.
TEST_F(SessionTest, LoadingOnceAndItsFailures) {
    DocumentServer::document = Offer();
    Renewix& session = Session();
    EXPECT_TRUE(Load(session));
    EXPECT_TRUE(Logged([&] { return session.LoadUpdateDocument(L"9.0"); }));
    EXPECT_EQ(DocumentServer::loads, 1);
    EXPECT_TRUE(session.IsChecked());

    DocumentServer::fails = true;
    Renewix& failing = Session();
    std::string text;
    EXPECT_FALSE(Load(failing, &text));
    EXPECT_NE(text.find("the parser gave up"), std::string::npos) << text;
    EXPECT_FALSE(Load(failing));
    EXPECT_EQ(DocumentServer::loads, 2);

    // A document the server cannot give: the update is called off and the download folder goes.
    DocumentServer::fails = false;
    DocumentServer::document = L"<Renewix>";
    Renewix& missing = Session();
    CreateDirectoryW((folder_ / L"downloads").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", "left over"));
    EXPECT_FALSE(Load(missing, &text));
    EXPECT_NE(text.find("Unable to load XML configuration"), std::string::npos) << text;
    EXPECT_FALSE(Exists(folder_ / L"downloads"));
}

// Before a document is fetched, an installation an earlier run left is taken back; one that
// cannot be is left whole, with its folder, and nothing is fetched or installed over it.
TEST_F(SessionTest, AnInterruptedInstallationIsResolvedBeforeAnythingIsFetched) {
    DocumentServer::document = Offer();
    const std::wstring downloads = folder_ / L"downloads", added = folder_ / L"app\\added.txt";
    CreateDirectoryW(downloads.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(added, "new"));
    ASSERT_TRUE(WriteFileBytes(downloads + L"\\install.journal",
                               WideToUtf8(L"begin\t2.0\r\nplaced\t" + added + L"\t\t" + downloads +
                                          L"\\UpdateFile1\t0\r\n")));
    std::string text;
    EXPECT_TRUE(Load(Session(), &text));
    EXPECT_NE(text.find("The interrupted installation was taken back"), std::string::npos) << text;
    EXPECT_FALSE(Exists(added));
    EXPECT_EQ(ReadFileBytes(downloads + L"\\UpdateFile1"), "new");
    EXPECT_EQ(DocumentServer::loads, 1);

    ASSERT_TRUE(WriteFileBytes(downloads + L"\\install.journal", "not a journal\r\n"));
    ASSERT_TRUE(WriteFileBytes(downloads + L"\\a.txt.0badc0de.bak", "the only old copy"));
    EXPECT_FALSE(Load(Session(), &text));
    EXPECT_NE(text.find("Kept for an interrupted installation"), std::string::npos) << text;
    EXPECT_EQ(ReadFileBytes(downloads + L"\\a.txt.0badc0de.bak"), "the only old copy");
    EXPECT_EQ(DocumentServer::loads, 1);
}

// The downloads are checked again before the program is asked to close: one that changed since
// stops the update with the program still running and nothing replaced. A silent update that
// went through ends with the document's own closing message.
TEST_F(SessionTest, ADownloadThatChangedStopsTheUpdateBeforeTheProgramIsClosed) {
    const std::string bytes = "new";
    DocumentServer::document = Document(Version(L"2.0") + L"<UpdateType>Silent</UpdateType>"
                                        L"<SilentFinished>All done</SilentFinished>" +
                                        FileList(Attribute(L"SHA256", HashText(bytes))));
    struct Case {
        std::string downloadAtInstall;
        bool installed;
    };
    const Case cases[] = {{"bad", false}, {bytes, true}};  // the good one last: it records the new version
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
        EXPECT_EQ(Logged([&] { return session.InstallAndFinish(); }, &text), c.installed);
        EXPECT_FALSE(prompts.shown.empty());
        EXPECT_EQ(prompts.shown.starts_with(L"All done"), c.installed) << WideToUtf8(prompts.shown);
        EXPECT_EQ(ReadFileBytes(folder_ / L"a.txt"), c.installed ? bytes : "old");
        if (!c.installed) {
            EXPECT_NE(text.find("A downloaded file does not match the update description"), std::string::npos) << text;
            EXPECT_EQ(text.find("Terminating main application"), std::string::npos) << text;
        }
    }
}

// The worker hands the document's size, CRC and SHA-256 to the transfer: a served file that
// differs from the listing in any one of them is refused while it is fetched, before anything
// asks to install it. The listing is of "new", three bytes.
TEST_F(SessionTest, AForgedDownloadIsRefusedWhileItIsFetched) {
    struct Case {
        const char* what;
        std::string served, crcOf, sha256Of;
        bool accepted;
    };
    const Case cases[] = {
        {"only its size differs", "news", "news", "news", false},
        {"only its CRC differs", "new", "NEW", "new", false},
        {"only its SHA-256 differs", "new", "new", "NEW", false},
        {"it matches", "new", "new", "new", true},  // last: it leaves the download behind
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DocumentServer::document =
            Offer(L"", Attribute(L"CRC", CrcText(c.crcOf)) + Attribute(L"SHA256", HashText(c.sha256Of)));
        Renewix& session = Session();
        ASSERT_TRUE(session.LoadUpdateDocument(L"1.0"));
        ScriptedDownloader::reportedSize = -1;
        ScriptedDownloader::chunks = {c.served};
        SinkRecorder page;
        ASSERT_TRUE(session.StartDownload(&page));
        session.JoinWorker();
        ASSERT_FALSE(page.calls.empty());
        EXPECT_EQ(page.calls.back(), c.accepted ? "done 1" : "failed");
        EXPECT_EQ(Exists(folder_ / L"downloads\\UpdateFile1"), c.accepted);
    }
}

// A patch that cannot be used is followed by the file itself, which the page shows as the
// same file, the total grown by its size.
TEST_F(SessionTest, AFileFetchedAfterItsPatchFailedIsTheSameFileOnThePage) {
    const std::string old = "old", fresh = "new", patch = "junk";
    DocumentServer::document =
        Offer(L"<UpdateType>Silent</UpdateType>",
              Attribute(L"CRC", CrcText(fresh)) + Attribute(L"SHA256", HashText(fresh)) +
                  Attribute(L"Patch", L"a.txt.patch") + Attribute(L"PatchFrom", HashText(old)) +
                  Attribute(L"PatchSize", L"4") + Attribute(L"PatchCRC", CrcText(patch)) +
                  Attribute(L"PatchSHA256", HashText(patch)));
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
    ASSERT_TRUE(Check(Offer(L"<RegList><Key Name=\"HKEY_CURRENT_USER\"><Key Name=\"Software\">"
                            L"<Key Name=\"RenewixTest\"><Value Name=\"v\" Action=\"Add REG_BINARY 00\"/></Key></Key>"
                            L"</Key></RegList>"),
                      L"1.0"));
    CreateDirectoryW((folder_ / L"downloads").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(folder_ / L"downloads\\UpdateFile1", "new"));
    session.Plan().files.Entries()[0].destination = folder_ / L"a.txt";
    session.Plan().files.Entries()[0].crc = CrcOf("new");
    std::string text;
    EXPECT_TRUE(Logged([&] { return session.Install(); }, &text));
    EXPECT_EQ(ReadFileBytes(folder_ / L"a.txt"), "new");
    EXPECT_NE(text.find("Unable to update user registry"), std::string::npos) << text;
}

// With trusted keys the document's bytes come through the downloader, are verified, and are
// parsed as they were verified; the server's own parse is never asked for.
TEST_F(SessionTest, WithTrustedKeysOnlySignedBytesAreUsed) {
    const Ed25519Seed seed = SeedOf(7);
    const std::string document = WideToUtf8(Offer(L"<Expires>2999-01-01T00:00:00Z</Expires>",
                                                   Attribute(L"SHA256", std::wstring(64, L'0')))) + "\r\n";
    const std::string signedBytes = SignedBytes(document, seed);
    DocumentServer::document = Offer();
    ScriptedDownloader::reportedSize = -1;

    struct Case {
        std::string served;
        bool offered;
        const char* logged;
    };
    const Case cases[] = {
        {signedBytes, true, "Signature verified"},
        {document, false, "it is not signed"},
        {signedBytes.substr(0, 20) + "3" + signedBytes.substr(21), false, "does not match its content"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        Session();
        run_.config.SetKeys(TrustedKeys({PublicKeyFor(seed)}));
        // In two pieces, as a server sends it.
        ScriptedDownloader::chunks = {c.served.substr(0, 50), c.served.substr(50)};
        std::string text;
        EXPECT_EQ(Load(*session_, &text), c.offered);
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
        EXPECT_FALSE(Load(*session_));  // test mode reads no file list
        EXPECT_EQ(session_->IsChecked(), c.offered) << c.logged;
    }
}

TEST_F(SessionTest, ChecksDocumentsAgainstTheConfiguredBaseCode) {
    EXPECT_FALSE(Session().IsTest());
    // Without a base code, documents without a code pass, and a code that is there is still checked.
    struct Case {
        const wchar_t *baseCode, *code;
        bool passes;
    };
    for (const Case& c : {Case{L"", L"", true}, Case{L"", L"<SecureCode>1</SecureCode>", false},
                          Case{L"1A2B", L"", false}}) {
        SCOPED_TRACE(WideToUtf8(c.baseCode + std::wstring(c.code)));
        EXPECT_EQ(Session(c.baseCode).CheckSecureCode(Parsed(Document(Version(L"1") + c.code))), c.passes);
    }

    // With a base code, what follows the code is not the vendor's and is not planned.
    const std::wstring covered = Version(L"2.0") + FileList();
    const std::wstring code = L"<SecureCode>" + FormatText(L"%08lX", SecureCodeFor(0x1A2B, covered)) + L"</SecureCode>";
    Session(L"1A2B");
    EXPECT_TRUE(Check(Document(covered + code + Lists()), L"1.0"));
    EXPECT_TRUE(session_->Plan().execute.Entries().empty());
    EXPECT_TRUE(session_->Plan().registry.Entries().empty());

    // A test run tells its user when a code does not match; a real run only logs it.
    DocumentServer::document = Document(covered + L"<SecureCode>1</SecureCode>");
    ASSERT_TRUE(WriteFileBytes(folder_ / L"local.xml", WideToUtf8(DocumentServer::document)));
    for (const bool test : {false, true}) {
        Session(L"1A2B");
        PromptRecorder prompts;
        session_->SetPrompts(&prompts);
        if (test) session_->SetLocalDocument(folder_ / L"local.xml");
        EXPECT_FALSE(Load(*session_));
        EXPECT_EQ(prompts.errorTitle.empty(), !test);
    }
}

}  // namespace
