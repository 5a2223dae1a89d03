#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorlinth::testing {

// A TCP relay on 127.0.0.1 in front of the service. HTTP passes through untouched. On a
// signaling connection it lets the handshake through, holds back the "ready" frame, drops
// its side towards the service, runs `afterCut`, and only then hands "ready" on; the
// client's side stays open. So the service has lost the client's socket while the client
// still believes it is connected, as after a silently dropped connection.
class SignalCutProxy {
public:
    SignalCutProxy(uint16_t servicePort, std::function<void()> afterCut);
    ~SignalCutProxy();
    SignalCutProxy(const SignalCutProxy&) = delete;
    SignalCutProxy& operator=(const SignalCutProxy&) = delete;

    // "http://127.0.0.1:PORT"; empty when the relay could not listen.
    std::string baseURL() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace quorlinth::testing
