// The live stream's fan-out: each client of /api/events has a bounded queue of its own. The
// line's loop only ever appends to those queues under a short lock; a client whose queue is
// full has fallen behind and is dropped, so that no client, however slow, holds the line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::serve {

class EventHub {
  public:
    class Client;

    // At most `most_clients` clients. A page of this server's own (a browser says so of its
    // requests) may take any place; any other client one of all but the last, and at most
    // `most_per_client` of one address.
    EventHub(std::size_t most_clients, std::size_t most_per_client, std::size_t most_queued);
    ~EventHub();

    // A new client at `address`, which first receives how long to wait before reconnecting
    // and the event `name` with `data`, under the id of the latest event: each event carries
    // the whole state, so a client that reconnects (with Last-Event-ID or without) has missed
    // nothing once it has this one. Nothing when there are as many clients as allowed already
    // (of that address, or of any but our own pages), or when the hub has closed.
    std::shared_ptr<Client> Join(std::string_view name, const std::string& data,
                                 const std::string& address, bool own_page);
    // Queues the event `name` with `data`, under the next id, for every client; never waits on
    // one.
    void Publish(std::string_view name, const std::string& data);
    // The latest event's id (0 before the first).
    unsigned long long LastId() const;
    // Ends every client's stream; no client joins after.
    void Close();
    std::size_t Clients() const;
    // Clients dropped for falling behind, since the hub began.
    std::size_t Dropped() const;

    // Forgets a client whose connection has ended.
    void Leave(Client* client);

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::size_t most_clients_;
    std::size_t most_per_client_;
    std::size_t most_queued_;
    std::size_t dropped_ = 0;
    unsigned long long last_id_ = 0;
    bool closed_ = false;

    friend class Client;
};

class EventHub::Client {
  public:
    Client(EventHub& hub, std::string address, std::size_t most_queued)
        : hub_(hub), address_(std::move(address)), most_queued_(most_queued) {}
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The next message, waiting until `deadline` for one; an empty string when none came by
    // then; nothing once the client is to end (dropped, or the hub closed).
    std::optional<std::string> Next(std::chrono::steady_clock::time_point deadline);

  private:
    friend class EventHub;
    // False when the queue is full: the client is dropped.
    bool Offer(const std::string& message);
    void End();

    EventHub& hub_;
    const std::string address_;
    std::size_t most_queued_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    bool ended_ = false;
};

}  // namespace vantor::serve
