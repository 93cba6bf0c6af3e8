// VEMPortOps.cpp - the table of port drivers.  Each row adapts the driver's
// open and reconnect arguments from PortParams; everything else points
// straight at the driver's own operations.
#include "VEMPortOps.h"

#include "VEMFILE.h"

namespace {

int file_open(int idx, const PortParams& p) { return init_port_file(idx, p.szName, p.nFormat); }
int file_reconnect(int idx, const PortParams& p) {
    return reconnect_file(idx, p.szName, p.nFormat);
}
void file_park(int idx) { close_file_handle(idx); }

// One row per driver; port_ops() picks it by kind.
constexpr PortOps kFile{INTF_FILE,        "file",           init_buf_file,
                        file_open,        file_reconnect,   file_park,
                        close_port_file,  getFileSemaphore, send_data_file,
                        receive_data_file, nullptr};

}  // namespace

const PortOps* port_ops(unsigned int kind) {
    switch (kind) {
        case INTF_FILE: return &kFile;
        default: return nullptr;
    }
}
