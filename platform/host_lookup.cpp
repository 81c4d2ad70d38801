#include "platform/host_lookup.h"

#include "platform/socket_errors.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <system_error>
#include <thread>

namespace platform {

std::shared_ptr<HostLookup> HostLookup::Start(const QByteArray& name, Done done) {
    auto lookup = std::make_shared<HostLookup>(std::move(done));
    auto answer = [lookup](int error, std::uint32_t address) {
        // Back on the event loop's thread, where Drop is called too.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [lookup, error, address] { lookup->Answer(error, address); },
            Qt::QueuedConnection);
    };
    try {
        std::thread([answer, host = std::string(name.constData(), static_cast<std::size_t>(name.size()))] {
            addrinfo hints{};
            hints.ai_family = PF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            int error = ws::WSAHOST_NOT_FOUND;
            std::uint32_t address = 0;
            if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
                for (addrinfo* ai = found; ai; ai = ai->ai_next) {
                    if (ai->ai_family != PF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
                    address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
                    error = 0;
                    break;
                }
                ::freeaddrinfo(found);
            }
            answer(error, address);
        }).detach();
    } catch (const std::system_error&) {
        answer(ws::WSAENOBUFS, 0);
    }
    return lookup;
}

void HostLookup::Answer(int error, std::uint32_t address) {
    if (Done done = std::exchange(done_, nullptr)) done(error, address);
}

}  // namespace platform
