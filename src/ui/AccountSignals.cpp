#include "ui/AccountSignals.h"

#include "account/MacAccount.h"

namespace quorlinth {

AccountSignals::AccountSignals(std::shared_ptr<MacAccount> account, QObject* parent)
    : QObject(parent), watched(std::move(account)) {
    watched->onChange = [this] { emit changed(); };
}

AccountSignals::~AccountSignals() {
    watched->onChange = nullptr;
}

} // namespace quorlinth
