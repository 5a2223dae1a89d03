#pragma once

#include "base/Encoding.h"
#include "base/Result.h"
#include "base/Scheduler.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorlinth {

struct UpdateDownloadRequest {
    std::string url;                   // absolute http or https URL
    std::filesystem::path destination; // created; must not exist yet
    uint64_t expectedBytes = 0;
    std::string expectedSha256; // 64 lower-case hexadecimal characters
    std::optional<std::filesystem::path> caFile;
    Millis connectTimeout{15'000};
    // The longest silence while the body arrives.
    Millis idleTimeout{60'000};
};

// Streams one release archive to a file, checking it as it arrives: only a 200 answer from the
// exact URL counts (a redirect is refused, never followed); more bytes than expected stop the
// transfer at once; at the end the length and the SHA-256 digest must match. Failures carry one
// Chinese text; the partial file is left for the caller's work folder to take away. Runs on the
// object's own io thread; destroying the object drops a transfer in progress without a call.
class UpdateDownload {
public:
    // Bytes received so far; called on the io thread, about once per percent.
    using Progress = std::function<void(uint64_t received)>;
    // The archive's 32-byte digest, or why it was refused; called on the io thread, once.
    using Done = std::function<void(Result<Bytes>)>;

    UpdateDownload();
    ~UpdateDownload();
    UpdateDownload(const UpdateDownload&) = delete;
    UpdateDownload& operator=(const UpdateDownload&) = delete;

    void start(UpdateDownloadRequest request, Progress progress, Done done);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace quorlinth
