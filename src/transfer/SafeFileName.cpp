#include "transfer/SafeFileName.h"

#include "base/Uuid.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace quorlinth {

namespace {

constexpr size_t kMaxNameCharacters = 200;
constexpr char32_t kReplacement = 0xFFFD;

std::vector<char32_t> decodeUtf8(std::string_view text) {
    std::vector<char32_t> points;
    size_t index = 0;
    while (index < text.size()) {
        auto lead = static_cast<unsigned char>(text[index]);
        int length = lead < 0x80           ? 1
                     : (lead >> 5) == 0x6  ? 2
                     : (lead >> 4) == 0xE  ? 3
                     : (lead >> 3) == 0x1E ? 4
                                           : 0;
        char32_t point = length == 1   ? lead
                         : length == 2 ? lead & 0x1F
                         : length == 3 ? lead & 0x0F
                                       : lead & 0x07;
        bool valid = length > 0 && index + length <= text.size();
        for (int offset = 1; valid && offset < length; ++offset) {
            auto next = static_cast<unsigned char>(text[index + offset]);
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are invalid too.
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid =
            valid && point >= kSmallest[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
        points.push_back(valid ? point : kReplacement);
        index += valid ? length : 1;
    }
    return points;
}

void appendUtf8(std::string& out, char32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

size_t utf8Length(char32_t point) {
    return point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
}

// Characters that break a line when printed, steer its direction, or are invisible controls.
bool dropped(char32_t point) {
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
           point == 0x200E || point == 0x200F || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069) || point == '/';
}

void removeLeadingDots(std::vector<char32_t>& points) {
    size_t dots = 0;
    while (dots < points.size() && points[dots] == '.')
        ++dots;
    points.erase(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(dots));
}

std::string_view lastPathComponent(std::string_view text) {
    while (text.size() > 1 && text.back() == '/')
        text.remove_suffix(1);
    auto slash = text.rfind('/');
    return slash == std::string_view::npos || text.size() == 1 ? text : text.substr(slash + 1);
}

// The extension's dot: not the first character and not the last.
size_t extensionDot(const std::string& name) {
    auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 || dot + 1 == name.size() ? std::string::npos : dot;
}

// Renames without ever replacing: EEXIST when the target exists.
int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing target as well.
    if (link(from.c_str(), to.c_str()) != 0) return errno;
    unlink(from.c_str());
    return 0;
}

} // namespace

std::string safeFileName(std::string_view offered) {
    std::vector<char32_t> points;
    for (char32_t point : decodeUtf8(lastPathComponent(offered))) {
        if (point == ':')
            points.push_back('-');
        else if (!dropped(point))
            points.push_back(point);
    }
    removeLeadingDots(points);
    if (points.size() > kMaxNameCharacters)
        points.erase(points.begin(), points.end() - static_cast<std::ptrdiff_t>(kMaxNameCharacters));
    size_t bytes = 0;
    for (char32_t point : points)
        bytes += utf8Length(point);
    size_t cut = 0;
    while (bytes > kMaxNameBytes)
        bytes -= utf8Length(points[cut++]);
    points.erase(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(cut));
    // Cutting may have exposed a dot.
    removeLeadingDots(points);
    if (points.empty()) return "未命名文件";
    std::string name;
    for (char32_t point : points)
        appendUtf8(name, point);
    return name;
}

std::string numberedName(const std::string& name, int n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    auto dot = extensionDot(name);
    if (dot == std::string::npos) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

Result<std::filesystem::path> moveIntoFolder(const std::filesystem::path& partial,
                                             const std::filesystem::path& folder, const std::string& name) {
    int failure = renameNoReplace(partial, folder / name);
    if (failure == 0) return folder / name;
    for (int n = 2; n <= 9999 && failure == EEXIST; ++n) {
        std::string candidate = numberedName(name, n);
        failure = renameNoReplace(partial, folder / candidate);
        if (failure == 0) return folder / candidate;
    }
    if (failure == EEXIST) {
        auto dot = extensionDot(name);
        std::string extension = dot == std::string::npos ? "" : name.substr(dot);
        std::string candidate = uuidV4() + (extension.size() <= 64 ? extension : "");
        failure = renameNoReplace(partial, folder / candidate);
        if (failure == 0) return folder / candidate;
    }
    return Error{std::strerror(failure)};
}

} // namespace quorlinth
