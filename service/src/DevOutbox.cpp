#include "DevOutbox.h"

#include <cstdio>

namespace quorlinth::service {

void DevOutbox::deliver(const std::string& phone, const std::string& text, int64_t at) {
    if (!enabled) return;
    std::fprintf(stderr, "dev-outbox sms to %s: %s\n", phone.c_str(), text.c_str());
    std::lock_guard lock(mutex);
    entries.push_back(Json{{"phone", phone}, {"text", text}, {"at", at}});
    if (entries.size() > 100) entries.pop_front();
}

Json DevOutbox::messages() {
    std::lock_guard lock(mutex);
    Json list = Json::array();
    for (const Json& entry : entries)
        list.push_back(entry);
    return list;
}

} // namespace quorlinth::service
