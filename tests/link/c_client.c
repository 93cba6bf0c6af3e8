/* A point-of-sale program in plain C, built against the installed header and
 * pkg-config file: appends a receipt to a file port and checks it arrived.
 * Usage: c_client FILE */
#include <VEMInterface.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    unsigned char receipt[] = "THANK YOU\n\x1b\x69";
    unsigned long sent = 0;
    char back[64] = {0};
    FILE* f;
    if (argc != 2) return 2;
    if (init_intf_type(SHARE_PORT_LIB) != VEM_SUCCESS) return 3;
    if (init_file(argv[1], 1) != VEM_SUCCESS) return 4;
    if (intf_lock(1000) != VEM_SUCCESS) return 5;
    if (intf_send_data(receipt, (int)sizeof receipt - 1, &sent, 1000) != VEM_SUCCESS) return 6;
    if (sent != sizeof receipt - 1 || intf_unlock() != VEM_SUCCESS) return 7;
    if (init_close() != VEM_SUCCESS) return 8;
    f = fopen(argv[1], "rb");
    if (f == NULL || fread(back, 1, sizeof back, f) != sizeof receipt - 1) return 9;
    fclose(f);
    return memcmp(back, receipt, sizeof receipt - 1) == 0 ? 0 : 10;
}
