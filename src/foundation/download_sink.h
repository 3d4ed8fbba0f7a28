// Where a download reports its progress. The worker that downloads never touches a window: the
// wizard's download page implements this by posting its own messages, a silent run hands in
// nothing, and tests record what they are told.
#pragma once

#include <cstdint>
#include <string>

class IDownloadSink {
public:
    virtual ~IDownloadSink() = default;
    // The files to fetch and their total size, before the first file.
    virtual void Begin(int files, std::uint64_t totalBytes) = 0;
    // A file begins: where it will be installed and its size.
    virtual void File(const std::wstring& destination, std::uint64_t size) = 0;
    // The current file's patch could not be used: the file itself follows, `size` bytes more
    // than the total said, as the same file.
    virtual void FileWhole(std::uint64_t size) = 0;
    // Bytes of the current file so far.
    virtual void Progress(std::uint64_t done, std::uint64_t size) = 0;
    // Every file is there (`files` of them; 0 when nothing was to be fetched).
    virtual void Done(int files) = 0;
    // A transfer failed and was reported: whatever shows the download ends.
    virtual void Failed() = 0;
};
