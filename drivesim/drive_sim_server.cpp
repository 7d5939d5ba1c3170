#include "drivesim/drive_sim_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/serial/rfc2217_server.h"
#include "sim/simulated_line.h"

namespace vantor::drivesim {

namespace {
// How long the accepting loop waits for a client before it looks at `stop` again.
constexpr int kAcceptWaitMs = 100;
}  // namespace

void ServeClients(int listen_fd, const sim::SimOptions& options, const std::atomic<bool>& stop,
                  std::FILE* log) {
    namespace server = platform::rfc2217_server;
    while (!stop.load()) {
        sockaddr_storage peer{};
        std::string who;
        const int client = server::AcceptClient(listen_fd, kAcceptWaitMs, peer, who);
        if (client < 0) {
            continue;
        }
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
