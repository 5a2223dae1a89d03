#include "ReleaseFixture.h"

#include "base/Encoding.h"
#include "base/Json.h"
#include "crypto/Sha256.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace quorlinth::testing {

namespace fs = std::filesystem;

namespace {

la_ssize_t appendTo(archive*, void* data, const void* buffer, size_t length) {
    static_cast<std::string*>(data)->append(static_cast<const char*>(buffer), length);
    return la_ssize_t(length);
}

std::string readAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& contents, fs::perms permissions) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    fs::permissions(path, permissions);
}

std::string bundleInfo(const std::string& identifier, const std::string& build, const std::string& version) {
    return Json{{"bundleIdentifier", identifier}, {"version", version}, {"build", build}}.dump();
}

const char* const kLauncher = "#!/bin/sh\nexec \"$(dirname \"$0\")/bin/quorlinth\" \"$@\"\n";

} // namespace

std::string makeTarGz(const std::vector<ArchiveEntry>& entries) {
    std::string output;
    archive* writer = archive_write_new();
    archive_write_add_filter_gzip(writer);
    archive_write_set_format_pax_restricted(writer);
    archive_write_open(writer, &output, nullptr, appendTo, nullptr);
    for (const auto& item : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.name.c_str());
        archive_entry_set_perm(entry, item.mode);
        switch (item.kind) {
        case ArchiveEntry::Kind::file:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, la_int64_t(item.contents.size()));
            break;
        case ArchiveEntry::Kind::directory:
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case ArchiveEntry::Kind::symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, item.target.c_str());
            break;
        case ArchiveEntry::Kind::hardlink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, item.target.c_str());
            break;
        case ArchiveEntry::Kind::fifo:
            archive_entry_set_filetype(entry, AE_IFIFO);
            break;
        }
        archive_write_header(writer, entry);
        if (item.kind == ArchiveEntry::Kind::file && !item.contents.empty())
            archive_write_data(writer, item.contents.data(), item.contents.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return output;
}

std::vector<ArchiveEntry> bundleEntries(const std::string& build, const std::string& identifier) {
    using Kind = ArchiveEntry::Kind;
    return {
        {"Quorlinth.app", "", Kind::directory, "", 0755},
        {"Quorlinth.app/bundle.json", bundleInfo(identifier, build, "2.0")},
        {"Quorlinth.app/quorlinth", kLauncher, Kind::file, "", 0755},
        {"Quorlinth.app/bin", "", Kind::directory, "", 0755},
        {"Quorlinth.app/bin/quorlinth",
         "#!/bin/sh\necho build " + build + " >> \"${QUORLINTH_TEST_MARKER:-/dev/null}\"\n", Kind::file, "",
         0755},
        {"Quorlinth.app/bin/libdemo.so", "", Kind::symlink, "libdemo.so.1", 0777},
        {"Quorlinth.app/bin/libdemo.so.1", std::string(200'000, 'x'), Kind::file, "", 0644},
    };
}

MacUpdate describeRelease(const std::string& archive, const crypto::P256SigningKey& key,
                          const std::string& build, const std::string& version) {
    Bytes digest = crypto::sha256(archive);
    MacUpdate update;
    update.version = version;
    update.build = build;
    update.bundleIdentifier = kBundleIdentifier;
    update.minimumOS = "2.17";
    update.sha256 = hexEncode(digest);
    update.file = releaseFileName(update.sha256);
    update.bytes = int64_t(archive.size());
    update.signature = base64Encode(key.sign(digest));
    return update;
}

std::string manifestText(const MacUpdate& update) {
    return Json{{"linux", update.toJson()}}.dump();
}

std::string treeFingerprint(const fs::path& root) {
    std::vector<std::string> lines;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const fs::path& path = entry.path();
        struct stat info {};
        lstat(path.c_str(), &info);
        std::string line = fs::relative(path, root).string() + " " + std::to_string(info.st_mode);
        if (entry.is_symlink())
            line += " -> " + fs::read_symlink(path).string();
        else if (entry.is_regular_file())
            line += " " + hexEncode(crypto::sha256(readAll(path)));
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string fingerprint;
    for (const auto& line : lines)
        fingerprint += line + "\n";
    return fingerprint;
}

void writeInstalledBundle(const fs::path& folder, const std::string& build, const std::string& version) {
    writeFile(folder / "bundle.json", bundleInfo(kBundleIdentifier, build, version), fs::perms(0644));
    writeFile(folder / "quorlinth", kLauncher, fs::perms(0755));
    writeFile(folder / "bin" / "quorlinth",
              "#!/bin/sh\necho build " + build + " >> \"${QUORLINTH_TEST_MARKER:-/dev/null}\"\n",
              fs::perms(0755));
}

} // namespace quorlinth::testing
