#include "app/cli/ShareLock.h"

#include "base/Encoding.h"
#include "crypto/Sha256.h"
#include "store/Paths.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace quorlinth::cli {

namespace {

std::filesystem::path runtimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') return runtime;
    return appDataDir();
}

} // namespace

Result<std::shared_ptr<ShareLock>> ShareLock::acquire() {
    // Named after the device home, so that two homes on one machine share independently.
    std::string home = std::filesystem::absolute(appDataDir()).string();
    std::string tag = hexEncode(crypto::sha256(toBytes(home))).substr(0, 16);
    std::filesystem::path path = runtimeDir() / ("quorlinth-share-" + tag + ".lock");
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Error{"无法创建共享锁文件 " + path.string() + "，请检查该文件夹的权限"};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return Error{"这台设备已经在共享（另一个 quorlinth-cli share 正在运行），请先停止它"};
    }
    return std::shared_ptr<ShareLock>(new ShareLock(fd));
}

ShareLock::~ShareLock() {
    close(fd);
}

} // namespace quorlinth::cli
