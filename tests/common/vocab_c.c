/* Built as strict C99: the exported headers must stay plain C, since
 * applications written in C include them.  Hands the numbers as a C compiler
 * sees them to the C++ test, and calls the logging operations as declared. */
#include <stddef.h>

#include "VEMFuncNo.h"
#include "VEMInterface.h"
#include "VEMLogging.h"

#define PIN(expr, value) (long)(expr),
const long vem_c_values[] = {
#include "vocab_list.h"
};

void vem_c_log_something(void) {
    unsigned char bytes[2] = {0x12, 0x34};
    PETH_DEV_INFO info = NULL;
    (void)info;
    SetLogLevel(0);
    DbgLogMessage(LOG_LEVEL_DEBUG, 0, LOG_DBG, "from C %d", 1);
    DbgByteData(LOG_LEVEL_DUMP, 0, 1, bytes, 2);
}
