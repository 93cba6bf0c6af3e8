// netlab.h - small private networks for the Ethernet and discovery tests.
//
// The test process first moves into a network namespace of its own
// (enter_private_net), which has nothing but a loopback interface.  Every
// printer host is a further namespace, held by a child process that does
// nothing else, joined to the test's namespace by a veth pair (directly, or
// through a bridge in the test's namespace).  Addresses come from the
// documentation ranges 198.51.100.0/24 and 203.0.113.0/24 only.  Nothing is
// named in /run/netns: every namespace ends with the process that holds it,
// so a crashed test leaves nothing behind, and no interface of the machine
// ever joins one of these networks.
#ifndef VEM_TEST_NETLAB_H
#define VEM_TEST_NETLAB_H

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "VEMFd.h"

namespace netlab {

// Moves the calling process (it must have no other thread yet) into a new
// network namespace with loopback up.  Once per process; false on failure.
bool enter_private_net();

// The names of the interfaces of the current namespace.
std::vector<std::string> interface_names();

// Runs argv (argv[0] searched in PATH) in the namespace netns (-1: the
// caller's) and waits.  Returns the exit status, or -1.
int run(const std::vector<std::string>& argv, int netns = -1);
// run, adding a test failure when the command fails.
void must(const std::vector<std::string>& argv, int netns = -1);

// A process started in a namespace; SIGTERM and waited for on destruction.
class Process {
  public:
    Process() = default;
    Process(const std::vector<std::string>& argv, int netns, const std::string& log);
    Process(Process&& o) noexcept;
    Process& operator=(Process&& o) noexcept;
    ~Process() { stop(); }
    void stop();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// A bridge in the test's namespace with an address on it, e.g.
// Bridge("vbr24", "198.51.100.17/24").
class Bridge {
  public:
    Bridge(std::string name, const std::string& cidr);
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

// A host: a namespace of its own whose eth0 carries `cidrs` (the first is
// its address), joined to `bridge` in the test's namespace ("" joins it to
// the test's namespace directly, the test's end then carrying `peer_cidr`).
class Host {
  public:
    Host(const std::vector<std::string>& cidrs, const std::string& bridge,
         const std::string& peer_cidr = "");
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    int netns() const { return ns_.get(); }
    const std::string& address() const { return address_; }
    // A socket made inside the host's namespace (bound there if port >= 0).
    vem::UniqueFd socket(int type, int port = -1) const;

  private:
    pid_t holder_ = -1;
    vem::UniqueFd ns_;
    std::string address_;
};

// kvrs-emulator started in netns with extra arguments; waits for it to listen.
class Emulator {
  public:
    Emulator(int netns, std::vector<std::string> args);
    // "tcp" -> "ADDR:PORT" as the emulator reported it.
    std::string endpoint(const std::string& kind) const;
    int port(const std::string& kind) const;

  private:
    std::string dir_;
    std::map<std::string, std::string> ready_;
    Process proc_;
};

// Answers datagrams on a socket of the test's (made with Host::socket, or
// in the test's own namespace) with whatever `reply` makes of each (nothing
// for an empty answer), `times` times (default once), from the address the
// request was sent to, until destroyed.  Stands for an SNMP agent that
// answers broadcasts twice, or for a whole network of hosts.
using Bytes = std::vector<std::uint8_t>;
class Responder {
  public:
    using Reply = std::function<Bytes(const Bytes& request, bool broadcast)>;
    Responder(vem::UniqueFd sock, Reply reply, std::function<int(bool broadcast)> times = nullptr);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;
    int requests() const { return requests_; }

  private:
    void loop();
    void send_from(const Bytes& out, struct sockaddr_in to, struct in_addr asked, bool broadcast);
    vem::UniqueFd sock_;
    Reply reply_;
    std::function<int(bool)> times_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// Milliseconds that f takes.
template <typename F>
long elapsed_ms(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - t0)
                                 .count());
}

// Open descriptors of this process.
int open_fds();

}  // namespace netlab

#endif  // VEM_TEST_NETLAB_H
