// A scripted partner on the service pipes for the client's tests: the real
// server side of the FIFO operations (create_interface_pipe and
// open_interface_pipe as the daemon uses them), answering each request as
// the test says and recording every request it read.
#ifndef VEM_LINK_PEER_H
#define VEM_LINK_PEER_H

#include <poll.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VEMCmn.h"

namespace linktest {

struct Request {
    interface_command head;
    std::string payload;
    std::size_t length;  // bytes read, header included
    bool onMain;
};

// What the peer answers: result, count and data (count may differ from data).
struct Answer {
    Answer(int r = 0, std::uint64_t n = 0, std::string d = {})
        : result(r), size(n), data(std::move(d)) {}
    int result;
    std::uint64_t size;
    std::string data;
};

class Peer {
  public:
    using Script = std::function<Answer(const Request&)>;

    // portPipe false: opens are answered but no interface pipe is made (a
    // daemon whose worker never came up).
    explicit Peer(Script script, bool portPipe = true)
        : script_(std::move(script)), portPipe_(portPipe) {
        main_ = create_interface_pipe(nullptr, 1);
        if (main_ != nullptr && open_interface_pipe(main_, 1) == 1)
            threads_.emplace_back([this] { serve(main_, true); });
    }
    ~Peer() { stop(); }
    bool ok() const { return !threads_.empty(); }

    // Ends serving: the pipes' files go, as when the daemon stops.
    void stop() {
        for (interface_list* p : {main_, intf_}) {
            if (p == nullptr) continue;
            const unsigned char stopByte = 0;
            if (::write(p->hKeepAlive, &stopByte, 1) != 1) continue;
        }
        for (auto& t : threads_) t.join();
        threads_.clear();
        for (interface_list** p : {&main_, &intf_}) {
            close_interface_pipe(*p, 1);
            free_mem(reinterpret_cast<void**>(p));
        }
    }

    std::vector<Request> requests(bool onMain) {
        std::lock_guard lock(mutex_);
        std::vector<Request> out;
        for (const auto& r : seen_)
            if (r.onMain == onMain) out.push_back(r);
        return out;
    }

  private:
    void serve(interface_list* pipe, bool isMain) {
        unsigned char in[INTF_BUF_SIZE], out[INTF_BUF_SIZE];
        for (;;) {
            const ssize_t n = ::read(pipe->hClientSvr, in, sizeof in);
            if (n < static_cast<ssize_t>(INTF_CMD_SIZE)) return;  // stop byte or end
            Request r{load_command(in),
                      std::string(reinterpret_cast<char*>(in) + INTF_CMD_SIZE,
                                  static_cast<std::size_t>(n) - INTF_CMD_SIZE),
                      static_cast<std::size_t>(n), isMain};
            {
                std::lock_guard lock(mutex_);
                seen_.push_back(r);
            }
            Answer a = script_(r);
            if (isMain && r.head.dwProcess <= PROC_INIT_FILE && a.result >= 0 && intf_ == nullptr &&
                portPipe_)
                open_port_pipe(r);
            std::memset(out, 0, sizeof out);
            store_result(out, {r.head.dwProcess, 0, result_field(a.result), a.size});
            std::memcpy(out + INTF_RESULT_SIZE, a.data.data(), a.data.size());
            const std::size_t len = INTF_RESULT_SIZE + a.data.size();
            if (::write(pipe->hSvrClient, out, len) != static_cast<ssize_t>(len)) return;
        }
    }

    // The interface pair of a file port, as the daemon makes it on open.
    void open_port_pipe(const Request& r) {
        intf_ = create_interface_pipe(r.payload.c_str() + 4, 1);
        if (intf_ != nullptr && open_interface_pipe(intf_, 1) == 1)
            threads_.emplace_back([this] { serve(intf_, false); });
    }

    Script script_;
    bool portPipe_;
    interface_list* main_ = nullptr;
    interface_list* intf_ = nullptr;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::vector<Request> seen_;
};

// The daemon's usual answers: opens give slot 3, log settings and
// reconnect 1, sends everything, reads and status exchanges fill what
// was asked with 'r'.
inline Answer usual(const Request& r) {
    switch (r.head.dwProcess) {
        case PROC_INIT_FILE:
            return {3};
        case PROC_SEND:
            return {0, r.head.dwSend};
        case PROC_READ:
        case PROC_RW_RTS:
            return {0, r.head.dwRead, std::string(static_cast<std::size_t>(r.head.dwRead), 'r')};
        case PROC_CLOSE:
            return {0};
        default:
            return {1};
    }
}

}  // namespace linktest

#endif  // VEM_LINK_PEER_H
