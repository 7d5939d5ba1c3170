#include "serve/event_hub.h"

#include <algorithm>

namespace vantor::serve {

EventHub::EventHub(std::size_t most_clients, std::size_t most_per_client, std::size_t most_queued)
    : most_clients_(most_clients), most_per_client_(most_per_client), most_queued_(most_queued) {}

EventHub::~EventHub() {
    Close();
}

namespace {

// How long a client that lost its stream waits before it reconnects, in milliseconds.
constexpr int kRetryMs = 2000;

std::string EventText(unsigned long long id, std::string_view name, const std::string& data) {
    return "id: " + std::to_string(id) + "\nevent: " + std::string(name) + "\ndata: " + data +
           "\n\n";
}

}  // namespace

unsigned long long EventHub::LastId() const {
    std::lock_guard lock(mutex_);
    return last_id_;
}

std::shared_ptr<EventHub::Client> EventHub::Join(std::string_view name, const std::string& data,
                                                 const std::string& address, bool own_page) {
    std::lock_guard lock(mutex_);
    const auto of_address = std::count_if(clients_.begin(), clients_.end(),
                                          [&](const auto& c) { return c->address_ == address; });
    const bool full = own_page ? clients_.size() >= most_clients_
                               : clients_.size() + 1 >= most_clients_ ||
                                     static_cast<std::size_t>(of_address) >= most_per_client_;
    if (closed_ || full) {
        return nullptr;
    }
    auto client = std::make_shared<Client>(*this, address, most_queued_);
    client->Offer("retry: " + std::to_string(kRetryMs) + "\n" + EventText(last_id_, name, data));
    clients_.push_back(client);
    return client;
}

void EventHub::Publish(std::string_view name, const std::string& data) {
    std::lock_guard lock(mutex_);
    const std::string message = EventText(++last_id_, name, data);
    for (auto client = clients_.begin(); client != clients_.end();) {
        if ((*client)->Offer(message)) {
            ++client;
        } else {
            (*client)->End();
            client = clients_.erase(client);
            ++dropped_;
        }
    }
}

void EventHub::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto& client : clients_) {
        client->End();
    }
    clients_.clear();
}

std::size_t EventHub::Clients() const {
    std::lock_guard lock(mutex_);
    return clients_.size();
}

std::size_t EventHub::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void EventHub::Leave(Client* client) {
    std::lock_guard lock(mutex_);
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [client](const auto& c) { return c.get() == client; }),
                   clients_.end());
}

EventHub::Client::~Client() = default;

bool EventHub::Client::Offer(const std::string& message) {
    std::lock_guard lock(mutex_);
    if (ended_) {
        return true;  // leaving already; the hub forgets it when it leaves
    }
    if (queue_.size() >= most_queued_) {
        return false;
    }
    queue_.push_back(message);
    changed_.notify_one();
    return true;
}

void EventHub::Client::End() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    queue_.clear();
    changed_.notify_one();
}

std::optional<std::string> EventHub::Client::Next(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return ended_ || !queue_.empty(); });
    if (ended_) {
        lock.unlock();
        hub_.Leave(this);
        return std::nullopt;
    }
    if (queue_.empty()) {
        return std::string();
    }
    std::string message = std::move(queue_.front());
    queue_.pop_front();
    return message;
}

}  // namespace vantor::serve
