// VEMPortOps.cpp - the table of port drivers.  Each row adapts the driver's
// open and reconnect arguments from PortParams; everything else points
// straight at the driver's own operations.
#include "VEMPortOps.h"

#include "VEMETH.h"
#include "VEMFILE.h"
#include "VEMPAR.h"
#include "VEMRS232.h"
#include "VEMUSB.h"

namespace {

int file_open(int idx, const PortParams& p) { return init_port_file(idx, p.szName, p.nFormat); }
int file_reconnect(int idx, const PortParams& p) {
    return reconnect_file(idx, p.szName, p.nFormat);
}
void file_park(int idx) { close_file_handle(idx); }

int serial_open(int idx, const PortParams& p) {
    return init_port_serial(idx, p.szName, p.nBaudrate, p.nDataBit, p.nParity, p.nStopBit,
                            p.nFlowControl);
}
int serial_reconnect(int idx, const PortParams& p) {
    return reconnect_serial(idx, p.szName, p.nBaudrate, p.nDataBit, p.nParity, p.nStopBit,
                            p.nFlowControl);
}
void serial_park(int idx) { close_serial_handle(idx); }

int par_open(int idx, const PortParams& p) { return init_port_pra(idx, p.szName); }
int par_reconnect(int idx, const PortParams& p) { return reconnect_pra(idx, p.szName); }
void par_park(int idx) { close_pra_handle(idx); }

int usb_open(int idx, const PortParams& p) { return init_port_usb(idx, p.nVid, p.nPid, p.szName); }
int usb_reconnect(int idx, const PortParams& p) {
    return reconnect_usb(idx, p.nVid, p.nPid, p.szName);
}

int eth_open(int idx, const PortParams& p) { return init_port_eth(idx, p.szName, p.nTCP, p.nUDP); }
int eth_reconnect(int idx, const PortParams& p) {
    return reconnect_eth(idx, p.szName, p.nTCP, p.nUDP);
}
// Parking closes the sockets under the slot's mutex: the idle monitor may
// be looking at them.
void eth_park(int idx) {
    if (!valid_slot(idx)) return;
    std::lock_guard<std::mutex> guard(g_csMutexPort[idx]);
    close_eth_handle(idx);
}

// One row per driver; port_ops() picks it by kind.
constexpr PortOps kFile{INTF_FILE,        "file",           init_buf_file,
                        file_open,        file_reconnect,   file_park,
                        close_port_file,  getFileSemaphore, send_data_file,
                        receive_data_file, nullptr};
constexpr PortOps kSerial{INTF_RS232,        "serial",          init_buf_serial,
                          serial_open,       serial_reconnect,  serial_park,
                          close_port_serial, getSerialSemaphore, send_data_serial,
                          receive_data_serial, nullptr};
constexpr PortOps kParallel{INTF_PARRALLEL,  "parallel",           init_buf_par,
                            par_open,        par_reconnect,        par_park,
                            close_port_pra,  getParallelSemaphore, send_data_pra,
                            receive_data_pra, nullptr};
constexpr PortOps kUsb{INTF_USB,         "usb",           init_buf_usb,
                       usb_open,         usb_reconnect,   close_usb_handle,
                       close_port_usb,   getUsbSemaphore, send_data_usb,
                       receive_data_usb, rts_data_usb};
constexpr PortOps kEth{INTF_ETH,        "ethernet",          init_buf_eth,
                       eth_open,        eth_reconnect,       eth_park,
                       close_port_eth,  getNetworkSemaphore, send_data_eth,
                       receive_data_eth, rts_data_eth};

}  // namespace

const PortOps* port_ops(unsigned int kind) {
    switch (kind) {
        case INTF_FILE: return &kFile;
        case INTF_RS232: return &kSerial;
        case INTF_PARRALLEL: return &kParallel;
        case INTF_USB: return &kUsb;
        case INTF_ETH: return &kEth;
        default: return nullptr;
    }
}
