// The slow-client guard (see slow_clients.h): connections that owe their
// request, their deadlines and the bounds on how many may wait.
#include "slow_clients.h"

#include <sys/socket.h>

#include <memory>
#include <new>

namespace cli {

namespace {

using clock_type = std::chrono::steady_clock;

// Whether bytes wait to be read on fd (left there for the daemon).
bool has_bytes(MHD_socket fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

} // namespace

slow_client_guard::~slow_client_guard() {
    for (conn *k : all_)
        delete k;
}

void slow_client_guard::started(MHD_Connection *c, void **context, const std::string &address) {
    *context = nullptr;
    const MHD_ConnectionInfo *fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!fd)
        return;
    std::unique_ptr<conn> k(new (std::nothrow) conn);
    try {
        if (!k)
            throw std::bad_alloc();
        k->fd = fd->connect_fd;
        k->since = clock_type::now();
        k->address = address;
        std::lock_guard<std::mutex> lock(lock_);
        all_.insert(k.get());
        conn *mine = k.release();
        *context = mine;
        if (limits_.per_address && waiting_from(mine->address) > limits_.per_address)
            push_out(mine->address);
        if (waiting_from("") > limits_.total)
            push_out("");
    } catch (...) {
        shutdown(fd->connect_fd, SHUT_RDWR); // no room to track it: not served
    }
}

void slow_client_guard::closed(void **context) {
    conn *k = static_cast<conn *>(*context);
    if (!k)
        return;
    {
        // Forgotten before the daemon closes the socket, so a late shutdown
        // never reaches a reused descriptor.
        std::lock_guard<std::mutex> lock(lock_);
        all_.erase(k);
    }
    delete k;
    *context = nullptr;
}

void slow_client_guard::close_late() {
    std::lock_guard<std::mutex> lock(lock_);
    clock_type::time_point now = clock_type::now();
    for (conn *k : all_)
        if (k->waiting && !k->closing && now - k->since >= limits_.deadline)
            close_locked(k);
}

void slow_client_guard::run() {
    std::unique_lock<std::mutex> lock(lock_);
    while (!stop_) {
        lock.unlock();
        close_late();
        lock.lock();
        wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; });
    }
}

void slow_client_guard::stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stop_ = true;
    }
    wake_.notify_all();
}

void slow_client_guard::mark(MHD_Connection *c, bool waiting) {
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    conn *k = info ? static_cast<conn *>(info->socket_context) : nullptr;
    if (!k)
        return;
    std::lock_guard<std::mutex> lock(lock_);
    k->waiting = waiting;
    k->since = clock_type::now();
}

// "" counts every address.
size_t slow_client_guard::waiting_from(const std::string &address) const {
    size_t n = 0;
    for (const conn *k : all_)
        n += k->waiting && !k->closing && (address.empty() || k->address == address);
    return n;
}

// The one that has waited longest and has sent nothing yet makes way, else
// the one that has waited longest: a request can wait unread in its socket
// while a burst of connections after it is accepted.
void slow_client_guard::push_out(const std::string &address) {
    conn *oldest = nullptr, *silent = nullptr;
    for (conn *k : all_) {
        if (!k->waiting || k->closing || (!address.empty() && k->address != address))
            continue;
        if (!oldest || k->since < oldest->since)
            oldest = k;
        if ((!silent || k->since < silent->since) && !has_bytes(k->fd))
            silent = k;
    }
    if (silent || oldest)
        close_locked(silent ? silent : oldest);
}

// libmicrohttpd sees the end of the stream and closes the connection; it
// reports the close (which takes lock_) before it releases the socket, so
// the descriptor is still this connection's here.
void slow_client_guard::close_locked(conn *k) {
    shutdown(k->fd, SHUT_RDWR);
    k->closing = true;
}

} // namespace cli
