#include "drivesim/drive_sim_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/serial/rfc2217_server.h"
#include "sim/simulated_line.h"

namespace vantor::drivesim {

void ServeClients(int listen_fd, const sim::SimOptions& options, const std::atomic<bool>& stop,
                  std::FILE* log) {
    namespace server = platform::rfc2217_server;
    while (!stop.load()) {
        pollfd entry{listen_fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        const int client =
            ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        const std::string who = server::Describe(reinterpret_cast<sockaddr*>(&peer), length);
        if (log != nullptr) {
            std::fprintf(log, "client %s connected\n", who.c_str());
            std::fflush(log);
        }
        std::string ended;
        {
            sim::SimulatedLine line(std::make_shared<sim::SimWorld>(options));
            ended = server::ServeClient(client, line, stop, kSignature);
        }
        ::close(client);
        if (log != nullptr) {
            std::fprintf(log, "client %s %s\n", who.c_str(), ended.c_str());
            std::fflush(log);
        }
    }
}

}  // namespace vantor::drivesim
