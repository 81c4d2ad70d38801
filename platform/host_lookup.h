// A host name looked up on a thread of its own, its answer brought back to the
// event loop's thread. A lookup cannot be stopped, but its answer can be
// dropped: it then comes to nobody.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class HostLookup {
public:
    // error: 0 with the first IPv4 address (network byte order), or a socket
    // error code (WSAHOST_NOT_FOUND for a name with no IPv4 address).
    using Done = std::function<void(int error, std::uint32_t address)>;

    // Starts the lookup; `done` runs later on the thread of the application's
    // event loop, never from within Start.
    [[nodiscard]] static std::shared_ptr<HostLookup> Start(const QByteArray& name, Done done);

    // The answer goes to nobody; safe to call at any time on the event loop's thread.
    void Drop() { done_ = nullptr; }

    explicit HostLookup(Done done) : done_(std::move(done)) {}

private:
    void Answer(int error, std::uint32_t address);

    Done done_;
};

}  // namespace platform
