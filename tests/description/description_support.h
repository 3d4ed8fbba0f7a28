// Scaffolding the update-document tests share.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "foundation/win_resource.h"
#include "foundation/xml_document.h"
#include "test_support.h"

// The CRC-32 of bytes as zlib computes it, apart from the client's own code.
inline std::uint32_t ZlibCrc(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// COM for the XML parser, a scratch folder, and what the code under test logs.
class DocumentTest : public ::testing::Test {
protected:
    explicit DocumentTest(const wchar_t* folder) : folder_(folder) {}
    void SetUp() override { ASSERT_TRUE(com_.succeeded()); }

    // The element at `path` of a document read from `xml`; the document lives as long as the test.
    XmlNode Load(const std::wstring& xml, const std::wstring& path = L"Renewix") {
        document_ = XmlDocument::Create();
        EXPECT_TRUE(document_.LoadText(xml)) << WideToUtf8(xml);
        return document_.SelectSingle(path);
    }

    // Runs `action` with the tests' log going to a file of its own, and returns what it wrote.
    template <typename Action>
    std::string LogOf(Action&& action) {
        CapturedLog captured(folder_ / L"test.log");
        action();
        return captured.Finish();
    }

    renewix::ScopedComInit com_;
    ScratchFolder folder_;
    XmlDocument document_;
};
