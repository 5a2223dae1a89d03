#include "host/MacShareHost.h"

#include "base/MainQueue.h"

#include <gtest/gtest.h>

using namespace quorlinth;

// Capture may outpace the host's queue: a frame replaced by a newer one is let go at once
// instead of waiting in a queue of frames.
TEST(MacShareHost, KeepsOnlyTheNewestFrame) {
    RunLoop loop;
    MacShareHost::Options options;
    options.main = &loop;
    auto host = MacShareHost::create(options);
    std::weak_ptr<const PixelBuffer> older;
    {
        auto first = std::make_shared<const PixelBuffer>();
        older = first;
        host->cachePixels(std::move(first));
    }
    host->cachePixels(std::make_shared<const PixelBuffer>());
    EXPECT_TRUE(older.expired());
}
