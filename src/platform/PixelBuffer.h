#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quorlinth {

// One BGRA picture (byte order B, G, R, A; rows of `stride` bytes). The memory belongs to
// whoever made the buffer (a pool, a shared-memory segment); holders share it read-only.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    int stride = 0;
    uint8_t* data = nullptr;
};

using SharedPixels = std::shared_ptr<const PixelBuffer>;

// A small pool of equally sized BGRA buffers: a buffer handed out returns to the pool when its
// last holder lets go, so steady capture allocates nothing per frame. Thread-safe.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
public:
    static std::shared_ptr<PixelBufferPool> create(int width, int height, size_t capacity) {
        return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(width, height, capacity));
    }

    int width() const { return pictureWidth; }
    int height() const { return pictureHeight; }

    // A free buffer, or null when every buffer is still held (the caller drops the frame).
    std::shared_ptr<PixelBuffer> acquire() {
        std::lock_guard lock(mutex);
        if (free.empty()) {
            if (created == capacity) return nullptr;
            ++created;
            free.push_back(std::make_unique<Storage>(pictureWidth, pictureHeight));
        }
        Storage* storage = free.back().release();
        free.pop_back();
        return std::shared_ptr<PixelBuffer>(&storage->picture,
                                            [pool = weak_from_this(), storage](PixelBuffer*) {
                                                std::unique_ptr<Storage> owned(storage);
                                                if (auto self = pool.lock()) {
                                                    std::lock_guard lock(self->mutex);
                                                    self->free.push_back(std::move(owned));
                                                }
                                            });
    }

private:
    struct Storage {
        Storage(int width, int height) : bytes(size_t(width) * 4 * height) {
            picture = {width, height, width * 4, bytes.data()};
        }
        std::vector<uint8_t> bytes;
        PixelBuffer picture;
    };

    PixelBufferPool(int width, int height, size_t capacity)
        : pictureWidth(width), pictureHeight(height), capacity(capacity) {}

    const int pictureWidth;
    const int pictureHeight;
    const size_t capacity;
    std::mutex mutex;
    size_t created = 0;
    std::vector<std::unique_ptr<Storage>> free;
};

} // namespace quorlinth
