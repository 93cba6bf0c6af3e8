// VEMUSB.cpp - the USB port driver.
#include "VEMUSB.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

// ---- Per-slot state (see VEMUSB.h) ---------------------------------------
UniqueUsbHandle g_UsbHandle[PORT_SLOT_MAX];              // open device, or null
EPLIST g_endpoint[PORT_SLOT_MAX][EP_MAX];                // endpoints found
UniqueSem g_pUsbSem[PORT_SLOT_MAX];                      // port semaphore, or null
int g_InitUsbSem[PORT_SLOT_MAX];                         // 1: close it in close_port_usb
int g_bDetachDriver[PORT_SLOT_MAX];                      // 1: detached, not yet released
char g_semUsbName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];     // the semaphore's name
char g_szUsbSerial[PORT_SLOT_MAX][VEM_USB_SERIAL_SIZE];  // serial of the device opened

// ---- Process-wide ----------------------------------------------------------
std::atomic<int> g_bInitLib{0};  // 1: we hold a reference to the default context

namespace {

// The daemon's build keeps many ports open at once and must never open one
// device twice; the library's build has a single slot.
constexpr bool kServiceBuild = PORT_SLOT_MAX > 1;

const char* text(const char* s) {
    return s != nullptr ? s : "";
}

// True, after logging it, when idx is no slot of this build.
bool bad_slot(unsigned int fn, int idx) {
    if (valid_slot(idx)) return false;
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "invalid parameter=%d", idx);
    return true;
}

bool valid_ids(int vid, int pid) {
    return vid >= 0 && vid <= 0xFFFF && pid >= 0 && pid <= 0xFFFF;
}

// A serial number the slot can hold; null or empty means "any device".
bool valid_serial(const char* s) {
    return s == nullptr || std::strlen(s) < VEM_USB_SERIAL_SIZE;
}

// The IDs and serial number of an open request, checked once for init and
// reconnect.  A vendor ID beyond 16 bits would be cut by libusb and open a
// device whose semaphore name says otherwise: two locks for one printer.
bool bad_request(unsigned int fn, int vid, int pid, const char* lpszSerialNo) {
    if (!valid_ids(vid, pid)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid USB id vid:%d, pid:%d", vid, pid);
        return true;
    }
    if (!valid_serial(lpszSerialNo)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid USB serial, at most %d characters",
                      static_cast<int>(VEM_USB_SERIAL_SIZE - 1));
        return true;
    }
    return false;
}

// libusb takes an unsigned int of milliseconds (0: no limit).
unsigned int usb_timeout(unsigned long dwTimeout) {
    return static_cast<unsigned int>(std::min<unsigned long>(dwTimeout, UINT_MAX));
}

// Composes the semaphore name of vid/pid; false if it would not fit (it
// always does for 16-bit IDs).
bool compose_sem_name(char* out, int vid, int pid) {
    const int n = std::snprintf(out, VEM_SEM_NAME_SIZE, VEM_USB_SEM_TEMPLATE,
                                static_cast<unsigned>(vid), static_cast<unsigned>(pid));
    return n > 0 && static_cast<std::size_t>(n) < VEM_SEM_NAME_SIZE;
}

// Owners of what libusb hands out.
struct DeviceListFree {
    void operator()(libusb_device** l) const noexcept { libusb_free_device_list(l, 1); }
};
using UniqueDeviceList = std::unique_ptr<libusb_device*, DeviceListFree>;
struct ConfigFree {
    void operator()(libusb_config_descriptor* c) const noexcept {
        libusb_free_config_descriptor(c);
    }
};
using UniqueConfig = std::unique_ptr<libusb_config_descriptor, ConfigFree>;

// The device's serial-number string into out (VEM_USB_SERIAL_SIZE bytes);
// empty when it has none or it cannot be read.
void read_serial(libusb_device_handle* h, std::uint8_t iSerialNumber, char* out) {
    out[0] = '\0';
    if (iSerialNumber == 0) return;
    unsigned char buf[VEM_USB_SERIAL_SIZE];
    const int n = libusb_get_string_descriptor_ascii(h, iSerialNumber, buf, sizeof buf);
    if (n <= 0) return;
    const auto len = std::min(static_cast<std::size_t>(n), VEM_USB_SERIAL_SIZE - 1);
    std::memcpy(out, buf, len);
    out[len] = '\0';
}

// Opens the first device of vid/pid whose serial-number string is
// lpszSerialNo; null when there is none.
libusb_device_handle* open_by_serial(int vid, int pid, const char* lpszSerialNo) {
    libusb_device** raw = nullptr;
    const ssize_t cnt = libusb_get_device_list(nullptr, &raw);
    if (cnt < 0) return nullptr;
    UniqueDeviceList list(raw);
    for (ssize_t i = 0; i < cnt; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list.get()[i], &desc) != 0) continue;
        if (desc.idVendor != vid || desc.idProduct != pid || desc.iSerialNumber == 0) continue;
        libusb_device_handle* h = nullptr;
        if (libusb_open(list.get()[i], &h) != 0) continue;
        char serial[VEM_USB_SERIAL_SIZE];
        read_serial(h, desc.iSerialNumber, serial);
        if (std::strcmp(serial, lpszSerialNo) == 0) return h;
        libusb_close(h);
    }
    return nullptr;
}

// Records the first bulk IN, bulk OUT and interrupt IN endpoints of the
// configuration in interface, alternate-setting and endpoint order.
void find_endpoints(int idx, const libusb_config_descriptor& cfg) {
    for (auto& ep : g_endpoint[idx]) ep = EPLIST{0, 0};
    for (int i = 0; i < cfg.bNumInterfaces; ++i) {
        const libusb_interface& itf = cfg.interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            for (int k = 0; k < alt.bNumEndpoints; ++k) {
                const libusb_endpoint_descriptor& e = alt.endpoint[k];
                DbgLogMessage(LOG_LEVEL_TRACE, fn_connect_usb, LOG_TRACE,
                              "        ep[%d].addr: %02X", k, e.bEndpointAddress);
                const int type = e.bmAttributes & 3;
                const bool in = (e.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
                int slot = -1;
                const char* what = nullptr;
                if (type == LIBUSB_TRANSFER_TYPE_BULK && in) {
                    slot = EP_BULK_IN, what = "Found BULK IN (i=%d, k=%d, MAX:%d)";
                } else if (type == LIBUSB_TRANSFER_TYPE_BULK) {
                    slot = EP_BULK_OUT, what = "Found BULK OUT (i=%d, k=%d, MAX:%d)";
                } else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in) {
                    slot = EP_HID_IN, what = "Found HID IN (i=%d, k=%d, MAX:%d)";
                }
                if (slot < 0 || g_endpoint[idx][slot].byEP != 0) continue;
                g_endpoint[idx][slot] = EPLIST{i, e.bEndpointAddress};
                DbgLogMessage(LOG_LEVEL_TRACE, fn_connect_usb, LOG_TRACE, what, i, k,
                              e.wMaxPacketSize);
            }
        }
    }
}

// Daemon only: the slot, other than idx, that already holds the device that
// an open of vid/pid/serial would take, or -1.  Without a serial number any
// open device of the model counts (the first device could be any of them);
// with one, only a device of that serial number.
int slot_holding(int idx, int vid, int pid, const char* lpszSerialNo) {
    for (int i = 0; i < PORT_SLOT_MAX; ++i) {
        if (i == idx || !g_UsbHandle[i] || check_sem_name(g_semUsbName[i], vid, pid) == 0) continue;
        if (text(lpszSerialNo)[0] == '\0' || std::strcmp(g_szUsbSerial[i], lpszSerialNo) == 0)
            return i;
    }
    return -1;
}

// The setup packet of a status request.
struct RtsSetup {
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0, wIndex = 0, wLength = 0;
};
RtsSetup rts_setup(const unsigned char* s, int nSend, const unsigned char* pByRet, int nReturn) {
    RtsSetup r;
    if (nSend >= 1) r.bRequest = s[0];
    if (nSend >= 3) r.wValue = static_cast<std::uint16_t>(s[1] << 8 | s[2]);
    if (nSend >= 5) r.wIndex = static_cast<std::uint16_t>(s[3] << 8 | s[4]);
    // wLength is 16 bits: a larger buffer is asked for as much as fits.
    if (nReturn > 0 && pByRet != nullptr)
        r.wLength = static_cast<std::uint16_t>(std::min(nReturn, 0xFFFF));
    return r;
}

}  // namespace

void init_buf_usb() {
    for (int i = 0; i < PORT_SLOT_MAX; ++i) {
        g_UsbHandle[i].reset();
        g_pUsbSem[i].reset();
        g_InitUsbSem[i] = 0;
        g_bDetachDriver[i] = 0;
        std::memset(g_semUsbName[i], 0, VEM_SEM_NAME_SIZE);
        std::memset(g_szUsbSerial[i], 0, VEM_USB_SERIAL_SIZE);
    }
}

int init_port_usb(int idx, int vid, int pid, const char* lpszSerialNo) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_usb, LOG_START,
                  "Open USB vid:%d, pid:%d, serial:%s", vid, pid, text(lpszSerialNo));
    if (bad_slot(fn_init_port_usb, idx)) return VEM_ILLEGAL;

    int result = VEM_SUCCESS;
    int other = -1;
    if (bad_request(fn_init_port_usb, vid, pid, lpszSerialNo)) {
        result = VEM_ILLEGAL;
    } else if (g_UsbHandle[idx]) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_usb, LOG_ERRNO,
                      "USB is opened (%d, %d=0x%08X, %d)", idx, pid,
                      ptr_low32(g_UsbHandle[idx].get()), PORT_SLOT_MAX);
        result = VEM_INUSED;
    } else if (kServiceBuild && (other = slot_holding(idx, vid, pid, lpszSerialNo)) >= 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_usb, LOG_ERRNO, "USB is opened (%d, %s)", other,
                      g_semUsbName[other]);
        result = VEM_INUSED;
    }
    if (result != VEM_SUCCESS) {
        DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_usb, LOG_END, "Open USB Exit=%d", result);
        return result;
    }

    for (auto& ep : g_endpoint[idx]) ep.byEP = 0;

    if (g_bInitLib == 0) {
        const int rc = libusb_init(nullptr);
        if (rc < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_usb, LOG_ERRNO,
                          "libusb_init error:%d. Make sure libusb library installed", rc);
            return VEM_NO_SUPPORT;
        }
        g_bInitLib = 1;
    }

    // The devices attached now, for the log.
    libusb_device** raw = nullptr;
    const ssize_t cnt = libusb_get_device_list(nullptr, &raw);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_usb, LOG_TRACE,
                  "Call libusb_get_device_list, return:%d", static_cast<int>(cnt));
    if (cnt >= 0) {
        UniqueDeviceList list(raw);
        print_devs(list.get(), 0, nullptr, 0, nullptr);
    }

    if (connect_usb(idx, vid, pid, lpszSerialNo) != VEM_SUCCESS) {
        close_port_usb(idx);
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_usb, LOG_ERRNO, "connect_usb failed");
        return VEM_NODEVICE;
    }
    sem_t* pSem = createUsbSemaphore(g_semUsbName[idx], vid, pid);
    if (pSem == nullptr) {
        const int err = errno;
        close_port_usb(idx);
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_usb, LOG_ERRNO,
                      "Create USB semaphore failed, errno:%d", err);
        return VEM_NODEVICE;
    }
    g_pUsbSem[idx].reset(pSem);
    g_InitUsbSem[idx] = 1;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_usb, LOG_END,
                  "Open USB Successfully (%d, %d=0x%08X)", idx, pid,
                  ptr_low32(g_UsbHandle[idx].get()));
    return VEM_SUCCESS;
}

int connect_usb(int idx, int vid, int pid, const char* lpszSerialNo) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_usb_connect, LOG_START, "Connect USB Enter, vid:%d, pid:%d",
                  vid, pid);
    if (bad_slot(fn_connect_usb, idx)) return VEM_NODEVICE;
    if (g_bInitLib == 0) {
        // libusb's default context exists only while somebody holds it.
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_usb, LOG_ERRNO, "libusb is not initialised");
        return VEM_NODEVICE;
    }

    const bool bySerial = text(lpszSerialNo)[0] != '\0';
    g_UsbHandle[idx].reset(
        bySerial ? open_by_serial(vid, pid, lpszSerialNo)
                 : libusb_open_device_with_vid_pid(nullptr, static_cast<std::uint16_t>(vid),
                                                   static_cast<std::uint16_t>(pid)));
    libusb_device_handle* h = g_UsbHandle[idx].get();
    if (h == nullptr) {
        if (bySerial)
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_usb, LOG_ERRNO,
                          "No USB device vid:%d, pid:%d with serial:%s", vid, pid, lpszSerialNo);
        else
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_usb, LOG_ERRNO,
                          "libusb_open_device_with_vid_pid Failed");
        DbgLogMessage(LOG_LEVEL_TRACE, fn_usb_connect, LOG_END, "Connect USB Exit=%d",
                      VEM_NODEVICE);
        return VEM_NODEVICE;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_connect_usb, LOG_DBG,
                  "USB open (handle=0x%08X) vid=%d pid=%d", ptr_low32(h), vid, pid);

    libusb_device* dev = libusb_get_device(h);
    libusb_device_descriptor desc{};
    int rc = libusb_get_device_descriptor(dev, &desc);
    libusb_config_descriptor* rawCfg = nullptr;
    if (rc == 0) {
        const auto tr = [](const char* fmt, auto... args) {
            DbgLogMessage(LOG_LEVEL_TRACE, fn_connect_usb, LOG_TRACE, fmt, args...);
        };
        tr("            length: %d", desc.bLength);
        tr("      device class: %d", desc.bDeviceClass);
        tr("               S/N: %d", desc.iSerialNumber);
        tr("           VID:PID: %04X:%04X", desc.idVendor, desc.idProduct);
        tr("         bcdDevice: %04X", desc.bcdDevice);
        tr("   iMan:iProd:iSer: %d:%d:%d", desc.iManufacturer, desc.iProduct, desc.iSerialNumber);
        tr("          nb confs: %d", desc.bNumConfigurations);
        rc = libusb_get_config_descriptor(dev, 0, &rawCfg);
    }
    if (rc != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_usb, LOG_ERRNO,
                      "Get device descriptor error : %d", rc);
        DbgLogMessage(LOG_LEVEL_TRACE, fn_usb_connect, LOG_END, "Connect USB Exit=%d",
                      VEM_NODEVICE);
        return VEM_NODEVICE;
    }
    UniqueConfig cfg(rawCfg);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_connect_usb, LOG_TRACE, "          nb faces: %d",
                  cfg->bNumInterfaces);
    find_endpoints(idx, *cfg);

    // Which printer this is, for the daemon's one-device check.
    if (bySerial)
        std::snprintf(g_szUsbSerial[idx], VEM_USB_SERIAL_SIZE, "%s", lpszSerialNo);
    else
        read_serial(h, desc.iSerialNumber, g_szUsbSerial[idx]);
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_connect_usb, LOG_DBG, "USB serial:%s", g_szUsbSerial[idx]);

    DbgLogMessage(LOG_LEVEL_TRACE, fn_usb_connect, LOG_END, "Connect USB Exit=%d", VEM_SUCCESS);
    return VEM_SUCCESS;
}

int reconnect_usb(int idx, int vid, int pid, const char* lpszSerialNo) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_reconnect_usb, LOG_START, "Reconnect USB Enter");
    if (bad_slot(fn_reconnect_usb, idx)) return VEM_NODEVICE;
    close_usb_handle(idx);
    if (bad_request(fn_reconnect_usb, vid, pid, lpszSerialNo) ||
        connect_usb(idx, vid, pid, lpszSerialNo) != VEM_SUCCESS) {
        close_usb_handle(idx);
        DbgLogMessage(LOG_LEVEL_ERROR, fn_reconnect_usb, LOG_ERRNO, "Reconnect USB failed");
        return VEM_NODEVICE;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_reconnect_usb, LOG_END, "Reconnect USB Exit=%d", VEM_SUCCESS);
    return VEM_SUCCESS;
}

void close_usb_handle(int idx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_usb_handle, LOG_START, "Close USB port enter");
    if (bad_slot(fn_close_usb_handle, idx)) return;
    g_UsbHandle[idx].reset();
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_usb_handle, LOG_END, "Close USB port exit");
}

void close_port_usb(int idx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_usb, LOG_START, "Close USB enter=%d", idx);
    if (bad_slot(fn_close_usb, idx)) return;
    if (g_InitUsbSem[idx] == 1)
        DbgLogMessage(LOG_LEVEL_TRACE, fn_close_usb, LOG_START, "Close USB %s", g_semUsbName[idx]);
    release_port_semaphore(g_pUsbSem[idx], g_InitUsbSem[idx], g_semUsbName[idx]);
    close_usb_handle(idx);
    std::memset(g_szUsbSerial[idx], 0, VEM_USB_SERIAL_SIZE);
    if constexpr (!kServiceBuild) {
        if (g_bInitLib == 1) {
            DbgLogMessage(LOG_LEVEL_TRACE, fn_close_usb, LOG_TRACE, "Exit libusb library");
            libusb_exit(nullptr);
            g_bInitLib = 0;
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_usb, LOG_END, "Close USB Exit=%d",
                  kServiceBuild ? idx : 0);
}

sem_t* getUsbSemaphore(int idx) {
    if (bad_slot(fn_unknown, idx)) return nullptr;
    return g_pUsbSem[idx].get();
}

sem_t* createUsbSemaphore(char* szName, int vid, int pid) {
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_createUsbSemaphore, LOG_START,
                  "Create USB semaphore enter, vid:%d, pid:%d", vid, pid);
    if (szName == nullptr) return nullptr;
    errno = 0;
    return open_composed_semaphore(szName, compose_sem_name(szName, vid, pid),
                                   fn_createUsbSemaphore, LOG_LEVEL_DEBUG, "USB");
}

int check_sem_name(char* szName, int vid, int pid) {
    char built[VEM_SEM_NAME_SIZE];
    if (szName == nullptr || !compose_sem_name(built, vid, pid)) return 0;
    return std::strncmp(szName, built, std::strlen(built)) == 0 ? 1 : 0;
}

int check_b4_usb_driver(int idx, int ep) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_check_b4_usb_driver, LOG_START, "Check before USB enter");
    if (bad_slot(fn_check_b4_usb_driver, idx)) return VEM_ILLEGAL;
    libusb_device_handle* h = g_UsbHandle[idx].get();
    if (ep < 0 || ep >= EP_MAX || h == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_check_b4_usb_driver, LOG_ERRNO,
                      "Invalid parameter, handle:%d, endpoint:%d", static_cast<int>(ptr_low32(h)),
                      ep);
        return VEM_ILLEGAL;
    }
    const int iFace = g_endpoint[idx][ep].iFace;

    // A kernel printer driver that holds the interface is detached for good;
    // an error here (the device gone, say) is met again by the detach.
    if (const int active = libusb_kernel_driver_active(h, iFace); active != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_check_b4_usb_driver, LOG_ERRNO,
                      "libusb_kernel_driver_active is active : %d", active);
        if (const int rc = libusb_detach_kernel_driver(h, iFace); rc != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_check_b4_usb_driver, LOG_ERRNO,
                          "libusb_detach_kernel_driver failed : %d", rc);
            return rc == LIBUSB_ERROR_NO_DEVICE ? VEM_NODEVICE : VEM_ILLEGAL;
        }
        g_bDetachDriver[idx] = 1;
    }
    if (const int rc = libusb_claim_interface(h, iFace); rc != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_check_b4_usb_driver, LOG_ERRNO,
                      "libusb_claim_interface error : %d", rc);
        check_after_usb_driver(idx, ep);
        // A device that is gone must be reported as such: the daemon's
        // worker reopens the port on VEM_NODEVICE only.
        return rc == LIBUSB_ERROR_NO_DEVICE ? VEM_NODEVICE : VEM_ILLEGAL;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_check_b4_usb_driver, LOG_END, "Check before USB exit");
    return VEM_SUCCESS;
}

void check_after_usb_driver(int idx, int ep) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_check_after_usb_driver, LOG_START, "Check USB Claim enter");
    if (bad_slot(fn_check_after_usb_driver, idx)) return;
    libusb_device_handle* h = g_UsbHandle[idx].get();
    if (ep < 0 || ep >= EP_MAX || h == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_check_after_usb_driver, LOG_ERRNO,
                      "Invalid parameter, handle:%d, endpoint:%d", static_cast<int>(ptr_low32(h)),
                      ep);
        return;
    }
    g_bDetachDriver[idx] = 0;
    if (const int rc = libusb_release_interface(h, g_endpoint[idx][ep].iFace); rc != 0)
        DbgLogMessage(LOG_LEVEL_WARN, fn_check_after_usb_driver, LOG_WARN,
                      "libusb_release_interface fail : %d", rc);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_check_after_usb_driver, LOG_END, "Check USB Claim exit");
}

void print_devs(libusb_device** devs, int nVid, int* pPidList, unsigned nSize, unsigned* pnCount) {
    if (pnCount != nullptr) *pnCount = 0;
    if (devs == nullptr) return;
    for (libusb_device** d = devs; *d != nullptr; ++d) {
        libusb_device_descriptor desc{};
        const int rc = libusb_get_device_descriptor(*d, &desc);
        DbgLogMessage(LOG_LEVEL_TRACE, fn_print_devs, LOG_TRACE,
                      "Call libusb_get_device_descriptor, return:%d", rc);
        if (rc < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_print_devs, LOG_ERRNO,
                          "Failed to get device descriptor");
            return;
        }
        DbgLogMessage(LOG_LEVEL_TRACE, fn_print_devs, LOG_TRACE, "%04x:%04x (bus %d, device %d)",
                      desc.idVendor, desc.idProduct, libusb_get_bus_number(*d),
                      libusb_get_device_address(*d));
        if (pPidList != nullptr && pnCount != nullptr && desc.idVendor == nVid) {
            if (*pnCount < nSize) pPidList[*pnCount] = desc.idProduct;
            ++*pnCount;
        }
    }
}

int send_data_usb(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                  unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_usb, LOG_START, "Send USB data enter");
    if (bad_slot(fn_send_data_usb, idx)) return VEM_ILLEGAL;
    if (pdwSize == nullptr || nSendSize < 0 || (pBySendData == nullptr && nSendSize > 0)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_usb, LOG_ERRNO,
                      "Invalid send buffer(0x%08X, size=%d)", ptr_low32(pBySendData), nSendSize);
        return VEM_ILLEGAL;
    }
    *pdwSize = 0;

    libusb_device_handle* h = g_UsbHandle[idx].get();
    const std::uint8_t ep = g_endpoint[idx][EP_BULK_OUT].byEP;
    // Address 0 means no bulk OUT endpoint was found: endpoint 0 is the
    // control pipe and takes no print data.
    if (h == nullptr || ep == 0 || (ep & LIBUSB_ENDPOINT_IN) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_usb, LOG_ERRNO,
                      "Invalid parameter, handle:%d, endpoint:0x&%08X",
                      static_cast<int>(ptr_low32(h)), ep);
        DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_usb, LOG_END, "Send USB data send size = %d",
                      0);
        return VEM_NOINIT;
    }
    DbgByteData(LOG_LEVEL_DUMP, fn_send_data_usb, 1, pBySendData, nSendSize);

    const int result = check_b4_usb_driver(idx, EP_BULK_OUT);
    if (result != VEM_SUCCESS) {
        DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_usb, LOG_END, "Send USB data send size = %d",
                      0);
        return result;
    }
    int done = 0;
    const int rc =
        libusb_bulk_transfer(h, ep, pBySendData, nSendSize, &done, usb_timeout(dwTimeout));
    // What went out is reported even when the transfer then failed (a
    // time-out part way): the printer has those bytes, and a caller that
    // believed none went would send them twice.
    *pdwSize = static_cast<unsigned long>(std::max(done, 0));
    if (rc != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_usb, LOG_ERRNO,
                      "libusb_bulk_transfer error : %d", rc);
    } else if (done == nSendSize) {
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_send_data_usb, LOG_DBG, "send success=%d", done);
    } else {
        DbgLogMessage(LOG_LEVEL_WARN, fn_send_data_usb, LOG_WARN,
                      "libusb_bulk_transfer error size : %d (expect:%d)", done, nSendSize);
    }
    check_after_usb_driver(idx, EP_BULK_OUT);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_usb, LOG_END, "Send USB data send size = %d",
                  static_cast<int>(*pdwSize));
    return VEM_SUCCESS;
}

int receive_data_usb(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                     unsigned long* pdwRecSize, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_receive_data_usb, LOG_START, "Receive USB data enter");
    if (bad_slot(fn_receive_data_usb, idx)) return VEM_ILLEGAL;
    if (pdwRecSize == nullptr || nReceiveSize < 0 ||
        (pByReceiveData == nullptr && nReceiveSize > 0)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_usb, LOG_ERRNO,
                      "Invalid receive buffer(0x%08X, size=%d)", ptr_low32(pByReceiveData),
                      nReceiveSize);
        return VEM_ILLEGAL;
    }
    // Every way out reports a count: a caller must never read one it did
    // not get.
    *pdwRecSize = 0;

    libusb_device_handle* h = g_UsbHandle[idx].get();
    const std::uint8_t ep = g_endpoint[idx][EP_BULK_IN].byEP;
    if (h == nullptr || (ep & LIBUSB_ENDPOINT_IN) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_usb, LOG_ERRNO,
                      "Invalid parameter, handle:%d, endpoint:0x&%08X",
                      static_cast<int>(ptr_low32(h)), ep);
    } else if (check_b4_usb_driver(idx, EP_BULK_IN) == VEM_SUCCESS) {
        int got = 0;
        const int rc =
            libusb_bulk_transfer(h, ep, pByReceiveData, nReceiveSize, &got, usb_timeout(dwTimeout));
        *pdwRecSize = static_cast<unsigned long>(std::max(got, 0));
        if (got > 0) DbgByteData(LOG_LEVEL_DUMP, fn_receive_data_usb, 0, pByReceiveData, got);
        if (rc != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_usb, LOG_ERRNO,
                          "libusb_bulk_transfer error : %d", rc);
        } else if (got != nReceiveSize) {
            DbgLogMessage(LOG_LEVEL_WARN, fn_receive_data_usb, LOG_WARN,
                          "libusb_bulk_transfer error size : %d (expect:%d)", got, nReceiveSize);
        }
        check_after_usb_driver(idx, EP_BULK_IN);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_receive_data_usb, LOG_END, "receive USB size = %d",
                  static_cast<int>(*pdwRecSize));
    return VEM_SUCCESS;
}

int rts_data_usb(int idx, unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                 unsigned long* pdwRead, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_rts_data_usb, LOG_START, "Receive USB RTS data enter");
    if (bad_slot(fn_rts_data_usb, idx)) return VEM_ILLEGAL;
    if (pdwRead == nullptr || nSend < 0 || nReturn < 0 || (pBySend == nullptr && nSend > 0)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_rts_data_usb, LOG_ERRNO,
                      "Invalid status request(send=%d, return=%d)", nSend, nReturn);
        return VEM_ILLEGAL;
    }
    *pdwRead = 0;

    libusb_device_handle* h = g_UsbHandle[idx].get();
    if (h == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_rts_data_usb, LOG_ERRNO,
                      "Invalid parameter, handle:%d, endpoint:0x&%08X", 0,
                      g_endpoint[idx][EP_HID_IN].byEP);
    } else if (check_b4_usb_driver(idx, EP_BULK_IN) == VEM_SUCCESS) {
        const RtsSetup s = rts_setup(pBySend, nSend, pByRet, nReturn);
        if (nSend > 0) DbgByteData(LOG_LEVEL_DUMP, fn_rts_data_usb, 1, pBySend, nSend);
        const int rc = libusb_control_transfer(h, VEM_USB_RTS_REQUEST_TYPE, s.bRequest, s.wValue,
                                               s.wIndex, s.wLength > 0 ? pByRet : nullptr,
                                               s.wLength, usb_timeout(dwTimeout));
        if (s.wLength > 0 && rc >= 1) {
            // Only what the device sent: the rest of the buffer is stale.
            *pdwRead = static_cast<unsigned long>(std::min<int>(rc, s.wLength));
            DbgByteData(LOG_LEVEL_DUMP, fn_rts_data_usb, 0, pByRet, static_cast<int>(*pdwRead));
        } else if (rc < 1) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_rts_data_usb, LOG_ERRNO,
                          "libusb_control_transfer error:%d", rc);
        }
        check_after_usb_driver(idx, EP_BULK_IN);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_rts_data_usb, LOG_END, "Receive USB RTS data size = %d",
                  static_cast<int>(*pdwRead));
    return VEM_SUCCESS;
}

int scan_usb(int nVid, int* pPidList, unsigned nSize, unsigned* nCount) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_usb, LOG_START, "Scan USB enter");
    if (nCount != nullptr) *nCount = 0;
    // A reference of our own for the scan: the default context stays valid
    // even if another thread closes the port meanwhile.
    const int rc = libusb_init(nullptr);
    if (rc < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_usb, LOG_ERRNO,
                      "libusb_init error:%d. Make sure libusb library installed", rc);
        return VEM_NO_SUPPORT;
    }
    libusb_device** raw = nullptr;
    const ssize_t cnt = libusb_get_device_list(nullptr, &raw);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_usb, LOG_TRACE, "Call libusb_get_device_list, return:%d",
                  static_cast<int>(cnt));
    if (cnt >= 0) {
        UniqueDeviceList list(raw);
        print_devs(list.get(), nVid, pPidList, nSize, nCount);
    }
    libusb_exit(nullptr);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_usb, LOG_END, "Scan USB Exit");
    return VEM_SUCCESS;
}
