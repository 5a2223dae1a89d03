#pragma once

#include "base/Scheduler.h"

#include <string>
#include <thread>

namespace quorlinth {

// A labelled serial queue on its own thread. Tasks run one at a time in post order;
// timers belong to the queue. Destroying the queue drops what has not run yet.
class SerialQueue : public Dispatcher {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return name; }

private:
    std::string name;
    std::thread worker;
};

} // namespace quorlinth
