#pragma once

#include "crypto/P256.h"
#include "updates/MacUpdate.h"

#include <filesystem>
#include <string>
#include <vector>

namespace quorlinth::testing {

// One entry of a tar.gz archive made for a test.
struct ArchiveEntry {
    enum class Kind { file, directory, symlink, hardlink, fifo };
    std::string name;
    std::string contents;
    Kind kind = Kind::file;
    std::string target; // link target
    int mode = 0644;
};

// The gzip-compressed tar archive of `entries`, in order.
std::string makeTarGz(const std::vector<ArchiveEntry>& entries);

// A complete application copy as a release carries it: "Quorlinth.app" with its bundle.json,
// an executable launcher and one program.
std::vector<ArchiveEntry> bundleEntries(const std::string& build,
                                        const std::string& identifier = kBundleIdentifier);

// The manifest record of `archive`, signed with `key`.
MacUpdate describeRelease(const std::string& archive, const crypto::P256SigningKey& key,
                          const std::string& build, const std::string& version = "2.0");

// {"linux": update}
std::string manifestText(const MacUpdate& update);

// Every path below `root` with its type, mode, link target and contents: equal fingerprints
// mean the trees are byte for byte the same.
std::string treeFingerprint(const std::filesystem::path& root);

// Writes an installed copy (bundle.json, launcher, bin/) of `build` into `folder`.
void writeInstalledBundle(const std::filesystem::path& folder, const std::string& build,
                          const std::string& version);

} // namespace quorlinth::testing
