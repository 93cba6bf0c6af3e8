/*
 * fakeusb.h - a fake USB bus with KVRS printers on it, behind the real
 * libusb-1.0 API.
 *
 * libvemfakeusb.so exports the libusb-1.0 calls that the port drivers, the
 * daemon and the CUPS backend make (device lists and descriptors, open and
 * close, kernel-driver detach, interface claim, bulk, interrupt and control
 * transfers, string descriptors, context start-up and release), so that the
 * code under test runs unchanged without hardware.  Two ways to use it:
 *
 *   Linked:    link the test against vemfakeusb before anything that pulls
 *              in libusb-1.0 (CMake: target_link_libraries(t PRIVATE
 *              vemfakeusb vemcommon_lib) and -Wl,--as-needed, so that the
 *              real library is not even loaded); fakeusb_active() tells a
 *              test that the fake really is the one answering.
 *   Preloaded: LD_PRELOAD=/path/to/libvemfakeusb.so program ...
 *              Every libusb call of the program (and of libwardlink in it)
 *              reaches the fake first.
 *
 * What the bus holds comes from a configuration text: the file named by the
 * environment variable VEM_FAKEUSB_CONFIG (re-read whenever it changes:
 * replace it by writing a new file and renaming it over the old one), or
 * fakeusb_configure() in the test's own process.  Lines:
 *
 *   # comment
 *   output DIR       write each job (events.jsonl, one PNG per receipt) here
 *   journal FILE     append every call of interest, one line each (below)
 *   device NAME key=value ...
 *
 * Device keys (all optional):
 *   vid=0xF1E0 pid=0x0002   IDs (the model table's; default KVRS-M2A)
 *   serial=TEXT             serial-number string (none: no serial string)
 *   model=M1A|M2A paper=80|58   what the emulator prints like (default from
 *                           the product ID, 80 mm)
 *   bus=N addr=N            bus number and device address
 *   endpoints=LIST          comma separated [IF.ALT:]ADDR/TYPE, ADDR in hex,
 *                           TYPE bulk|int|ctrl|iso, interface and alternate
 *                           setting 0 by default, listed in the order given;
 *                           default 81/bulk,02/bulk,83/int
 *   kernel=0|1              a kernel driver holds every interface
 *   present=1|0             plugged in; 0 unplugs it (handles then answer
 *                           LIBUSB_ERROR_NO_DEVICE for good), 1 plugs it in
 *                           again as a new device
 *   claim=ok|ERROR          libusb_claim_interface fails with ERROR
 *   detach=ok|ERROR         libusb_detach_kernel_driver fails with ERROR
 *   open=ok|ERROR           libusb_open fails with ERROR
 *   config=ok|ERROR         libusb_get_config_descriptor fails with ERROR
 *   timeout=none|LIST       transfers that time out: out,in,ctrl or all
 *                           (after waiting the caller's time-out)
 *   out-limit=N             a bulk OUT transfer takes at most N bytes, then
 *                           times out
 *   status-limit=N          a status reply carries at most N bytes
 *   in=HEX                  bytes that appear on bulk IN (queued each time
 *                           the value changes)
 *   conditions=LIST         printer conditions of the emulator
 *                           ("paper-end,cover-open", "offline", "ready")
 *   ERROR names: io invalid-param access no-device not-found busy timeout
 *   overflow pipe interrupted no-mem not-supported other.
 *
 * Changing `kernel` re-attaches or detaches the kernel driver; the other
 * keys act from the next call on.  A device that leaves the configuration
 * is unplugged.  State is per process: a kernel driver detached in one
 * process is still attached in another.
 *
 * Behaviour: bulk OUT data goes into the emulator core (tools/emulator/core),
 * one job per open handle, finished and written to `output` when the handle
 * is closed; answers of status requests embedded in the data appear on bulk
 * IN.  The vendor control request 0xC1 with bRequest 0x10, wValue 0x04nn
 * (DLE EOT n) or bRequest 0x17, wValue 0x0110 (DLE EOT 16) is answered with
 * the emulator's reply; an offline printer lets it time out; other control
 * requests stall (LIBUSB_ERROR_PIPE).  Transfers need the interface claimed;
 * a claim needs the kernel driver detached (LIBUSB_ERROR_BUSY).
 *
 * Journal lines (also returned by fakeusb_journal()):
 *   init refs=N | exit refs=N          default context taken / released
 *   list n=N                           a device list was handed out
 *   open NAME -> RC | close NAME
 *   kernel-active NAME if=I -> RC | detach NAME if=I -> RC
 *   attach NAME if=I -> RC
 *   claim NAME if=I -> RC | release NAME if=I -> RC
 *   bulk-out NAME ep=EE len=N done=D -> RC
 *   bulk-in NAME ep=EE len=N done=D -> RC
 *   interrupt NAME ep=EE len=N -> RC
 *   control NAME TT RR VVVV IIII LLLL -> RC   (hex setup packet)
 *   string NAME index=I -> RC
 *   job NAME PATH                      a file written for a finished job
 *   misuse TEXT                        a call real libusb would reject or
 *                                      crash on (tests should see none)
 *   config-error TEXT                  a configuration line was refused
 * RC is the libusb return value (bytes for control and string requests).
 */
#ifndef VEM_FAKEUSB_H
#define VEM_FAKEUSB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the configuration by `text` (as if the file had changed).
 * Returns 0, or -1 with the reason in err (if given) and nothing changed. */
int fakeusb_configure(const char* text, char* err, size_t errsize);

/* Forgets every device (finishing their jobs) and the journal. */
void fakeusb_reset(void);

/* Copies the journal (NUL-terminated, cut to size) into buf; returns its
 * full length.  fakeusb_clear_journal() empties it. */
size_t fakeusb_journal(char* buf, size_t size);
void fakeusb_clear_journal(void);

/* Every byte bulk OUT delivered to the device NAME since it was configured;
 * same copy rules as fakeusb_journal.  Unknown device: 0. */
size_t fakeusb_received(const char* name, char* buf, size_t size);

/* References held on libusb's default context, and handles open now. */
int fakeusb_context_refs(void);
int fakeusb_open_handles(void);

/* 1: the libusb calls of this process reach the fake. */
int fakeusb_active(void);

#ifdef __cplusplus
}

#include <string>

namespace fakeusb {
inline std::string journal() {
    std::string s(fakeusb_journal(nullptr, 0), '\0');
    fakeusb_journal(s.data(), s.size() + 1);
    return s;
}
inline std::string received(const char* name) {
    std::string s(fakeusb_received(name, nullptr, 0), '\0');
    fakeusb_received(name, s.data(), s.size() + 1);
    return s;
}
}  // namespace fakeusb
#endif

#endif /* VEM_FAKEUSB_H */
