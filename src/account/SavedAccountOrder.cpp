#include "account/SavedAccountOrder.h"

#include "account/MacCredentials.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace quorlinth {

namespace {

std::unique_ptr<icu::Collator> makeCollator() {
    // Without a configured locale (LANG=C) ICU picks en_US_POSIX, which orders by code point;
    // people still expect the root collation there.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX") locale = icu::Locale::getRoot();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) {
        status = U_ZERO_ERROR;
        collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) return nullptr;
    }
    collator->setStrength(icu::Collator::SECONDARY);
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    return collator;
}

} // namespace

bool usernameOrderedBefore(const std::string& a, const std::string& b) {
    // A collator is not safe for concurrent use; one shared instance behind a lock.
    static std::mutex mutex;
    static std::unique_ptr<icu::Collator> collator = makeCollator();
    std::lock_guard lock(mutex);
    if (!collator) return a < b;
    UErrorCode status = U_ZERO_ERROR;
    auto order = collator->compare(icu::UnicodeString::fromUTF8(a), icu::UnicodeString::fromUTF8(b), status);
    if (U_FAILURE(status)) return a < b;
    return order == UCOL_LESS;
}

void sortByUsername(std::vector<SavedAccountChoice>& choices) {
    std::stable_sort(choices.begin(), choices.end(),
                     [](const SavedAccountChoice& a, const SavedAccountChoice& b) {
                         return usernameOrderedBefore(a.username, b.username);
                     });
}

} // namespace quorlinth
