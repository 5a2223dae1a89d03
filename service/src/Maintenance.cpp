#include "Maintenance.h"

#include <cstdio>

namespace quorlinth::service {

void runMaintenance(ServiceContext& context) {
    context.hub.expirePending();
    int64_t now = context.clock.now();
    try {
        context.tokens.purgeExpired();
        context.db.execute("DELETE FROM captchas WHERE expires_at <= ?", {now});
        context.db.execute("DELETE FROM sms_codes WHERE expires_at <= ?", {now});
        context.db.execute("DELETE FROM sms_sends WHERE sent_at <= ?", {now - 86400});
        // A QR sign-in stays a while after expiry so that late polls still read "qr_expired".
        context.db.execute("DELETE FROM qr_logins WHERE expires_at <= ?", {now - 3600});
        context.db.execute("DELETE FROM pairings WHERE expires_at <= ?", {now});
        context.db.execute("DELETE FROM rate_events WHERE expires_at <= ?", {now});
    } catch (const DatabaseError& error) {
        std::fprintf(stderr, "maintenance failed: %s\n", error.what());
    }
}

} // namespace quorlinth::service
