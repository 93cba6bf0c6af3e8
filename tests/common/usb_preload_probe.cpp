// A program built against the real libusb, run with the fake USB bus
// preloaded (LD_PRELOAD) and configured through its file, as the daemon and
// the CUPS backend will be: discovery, a job with a status request, an
// unplug and a replug written into the file while the program runs.
// Exit status 0 when everything went as expected; otherwise the first
// mismatch on stderr.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "VEMUSB.h"

namespace {

std::string g_dir, g_conf;

// Replaces the configuration as a test would: a new file renamed over it.
void configure(const std::string& device_line) {
    const std::string tmp = g_conf + ".new";
    std::ofstream(tmp) << "output " << g_dir << "\njournal " << g_dir << "/journal\n"
                       << "device p1 pid=1 serial=S1\n"
                       << device_line << "\n";
    std::filesystem::rename(tmp, g_conf);
}

int fail(const char* what) {
    std::fprintf(stderr, "usb_preload_probe: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    if (::dlsym(RTLD_DEFAULT, "fakeusb_active") == nullptr)
        return fail("the fake is not preloaded");
    char tmpl[] = "/tmp/vemprobeXXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return fail("mkdtemp");
    g_dir = tmpl, g_conf = g_dir + "/bus.conf";
    configure("device p2 pid=2 serial=S2 conditions=paper-near-end kernel=1");
    ::setenv("VEM_FAKEUSB_CONFIG", g_conf.c_str(), 1);  // read at the first libusb call

    int pids[4] = {};
    unsigned count = 0;
    if (scan_usb(0xF1E0, pids, 4, &count) != VEM_SUCCESS || count != 2 || pids[1] != 2)
        return fail("scan");
    if (init_port_usb(0, 0xF1E0, 2, "S2") != VEM_SUCCESS) return fail("open");
    unsigned char job[] = {0x1B, '@', 'O', 'K', '\n', 0x1D, 'V', 0x00};
    unsigned char cmd[] = {0x10, 0x04, 0x10}, reply[6] = {};
    unsigned long n = 0;
    if (send_data_usb(0, job, sizeof job, &n, 1000) != VEM_SUCCESS || n != sizeof job)
        return fail("send");
    if (rts_data_usb(0, cmd, 3, reply, 6, &n, 1000) != VEM_SUCCESS || n != 6 || reply[3] != 0x0C)
        return fail("status");

    configure("device p2 pid=2 serial=S2 present=0");
    if (send_data_usb(0, job, sizeof job, &n, 100) != VEM_NODEVICE) return fail("unplugged send");
    configure("device p2 pid=2 serial=S2 present=1");
    if (reconnect_usb(0, 0xF1E0, 2, "S2") != VEM_SUCCESS) return fail("reconnect");
    if (send_data_usb(0, job, sizeof job, &n, 1000) != VEM_SUCCESS || n != sizeof job)
        return fail("send after replug");
    close_port_usb(0);

    std::stringstream journal;
    journal << std::ifstream(g_dir + "/journal").rdbuf();
    const std::string j = journal.str();
    if (j.find("detach p2 if=0 -> 0") == std::string::npos) return fail("no detach");
    std::size_t pngs = 0;
    for (auto pos = j.find("-r01.png"); pos != std::string::npos; pos = j.find("-r01.png", pos + 1))
        ++pngs;
    if (pngs != 2) return fail("expected one picture from each of the two handles");
    if (j.find("misuse") != std::string::npos) return fail("misuse in the journal");
    std::filesystem::remove_all(g_dir);
    ::sem_unlink("/cmn_share_interface_usb_sem_f1e0_0002__");
    return 0;
}
