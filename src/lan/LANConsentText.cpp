#include "lan/LANConsentText.h"

#include "base/PlatformWords.h"

namespace quorlinth {

LANConsentText lanConsentText(const MacLANHost::Request& request, bool remoteInput) {
    LANConsentText text;
    text.message = "允许 " + request.name + " 通过局域网连接" + platformWords::kThisComputer + "？";
    text.informative = "对方输入了正确的配对密码。设备指纹 " + request.fingerprint +
                       "。\n允许后它会成为可信设备，以后连接无需密码和确认；可随时在“" +
                       platformWords::kSharePage + "”页移除。";
    if (remoteInput) text.informative += "\n对方将能操作鼠标和键盘。";
    return text;
}

} // namespace quorlinth
