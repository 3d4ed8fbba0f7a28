#include "session/session.h"

#include <gtest/gtest.h>

#include "description/xml_document.h"
#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "test_support.h"

namespace {

TEST(Session, ChecksDocumentsAgainstTheConfiguredBaseCode) {
    renewix::ScopedComInit com;
    Renewix& session = Renewix::Instance();
    EXPECT_WSTREQ8(ApplicationDirectory() + L"RenewixFiles", session.DownloadFolder());
    EXPECT_WSTREQ8(session.DownloadFolder(), session.Files().DownloadFolder());
    EXPECT_FALSE(session.IsTest());

    // This executable carries no record, so its base code is empty: documents without a
    // code pass, and a code that is there is still checked.
    XmlDocument document = XmlDocument::Create();
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateVersion>1</UpdateVersion></Renewix>"));
    EXPECT_TRUE(session.CheckSecureCode(document));
    ASSERT_TRUE(document.LoadText(L"<Renewix><UpdateVersion>1</UpdateVersion><SecureCode>1</SecureCode></Renewix>"));
    EXPECT_FALSE(session.CheckSecureCode(document));
}

}  // namespace
