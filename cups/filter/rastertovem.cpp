// rastertovem - CUPS filter: CUPS raster in, KVRS printer commands out.
//
//   rastertovem job-id user title copies options [file]
//
// Environment: PPD (the queue's PPD), DEVICE_URI (decides how the printer's
// status is asked).  Descriptors: 0 raster (unless a file is named), 1
// printer commands, 2 CUPS message lines, 3 back channel, 4 side channel.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <cups/backend.h>

#include "VEMFd.h"
#include "VEMLogging.h"
#include "rastertovem_core.h"

namespace {

constexpr unsigned kFnMain = 1;
constexpr const char* kLogPath = "/var/log/cups/vemcups/vemcups.log";

// SIGTERM: CUPS cancels the job.  Only the flag; the loop notices it.
extern "C" void cancelJob(int) { g_bTerminate = 1; }

// Owner of the raster input file and the libcups reader on it.
struct RasterInput {
    vem::UniqueFd file;  // the named file; none when reading standard input
    cups_raster_t* raster = nullptr;
    ~RasterInput() {
        if (raster != nullptr)
            cupsRasterClose(raster);
    }
};

}  // namespace

int main(int argc, char* argv[]) {
    // CUPS reads our message lines as they are written.
    setbuf(stderr, nullptr);

    // The log file is optional: a filter that cannot open it still prints,
    // and says why once, so that a LogLevel asked for is not silently lost.
    if (SetLogFilename(kLogPath)) {
        g_LogEnable = 1;
    } else {
        const int err = errno;
        fprintf(stderr, "DEBUG: rastertovem: cannot open the log file %s (%s); nothing is logged\n",
                kLogPath, strerror(err));
    }
    SetLogLevel(0);
    SetLogFileCount(0);

    // CUPS calls us with "job-id user title copies options [file]".
    if (argc < 6 || argc > 7) {
        DbgLogMessage(LOG_LEVEL_WARN, kFnMain, LOG_WARN, "Invalid argument count:%d", argc - 1);
        fputs("ERROR: Invalid argument count\n", stderr);
        return 1;
    }

    // Job options, then the PPD defaults for those the job leaves out (this
    // also sets the log level and file count the job asks for).
    installFilterOptions();
    extractArgvOption(argv[5]);
    DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_START, "ZOLVANT CUPS Filter Version = V%d.%d.%d.%d", 2,
                  0, 0, 0);
    for (int i = 0; i < 7; ++i)
        DbgLogMessage(LOG_LEVEL_TRACE, kFnMain, LOG_DBG, "CUPS filter (%d) argv[%d] = %s", argc, i,
                      i < argc && argv[i] != nullptr ? argv[i] : "NULL");

    // The device URI tells which backend carries the job, and so how the
    // printer's status is asked.
    const char* uri = cupsBackendDeviceURI(argv);
    if (uri != nullptr)
        DbgLogMessage(LOG_LEVEL_TRACE, kFnMain, LOG_DBG, "URI=%s", uri);

    // Only the KVRS models, on a connection we can ask for status.
    if (!checkPrinterType(uri)) {
        fputs("ERROR: Invalid printer model\n", stderr);
        return 1;
    }

    // Paper roll and custom page size.
    VemCustomSize custom{0, 0};
    checkPaperSize(argv[5], &custom);

    // From here on a cancelled job is wound down by the loop, not killed.
    // A backend that went away shows as a failed write, not as SIGPIPE.
    struct sigaction sa = {};
    sa.sa_handler = cancelJob;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Open the raster: the named file, or standard input.
    RasterInput input;
    bool opened = false;
    int fd = 0;
    if (argc == 7) {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Preparing open CUPS:%s", argv[6]);
        input.file.reset(::open(argv[6], O_RDONLY | O_CLOEXEC));
        fd = input.file.get();
        if (fd < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Open CUPS problem, errno:%d", errno);
            fputs("ERROR: Open CUPS problem\n", stderr);
        }
    }
    if (fd >= 0) {
        input.raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
        if (input.raster == nullptr) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "cupsRasterOpen problem");
            fputs("ERROR: cupsRasterOpen problem\n", stderr);
        }
        opened = input.raster != nullptr;
    }

    // Read, convert and print every page, waiting for the printer as needed.
    VemCupsRasterSource source(input.raster);
    VemFilterJob job(source, custom, true);
    if (opened)
        job.run();

    // End the document if every page made it, and tell CUPS how it went.
    const int result = job.finish(opened);
    releasePPDResource();
    if (g_bTerminate)
        DbgLogMessage(LOG_LEVEL_WARN, kFnMain, LOG_WARN, "Print job is terminated");
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_END, "CUPS filter exit with result:%d", result);
    return result;
}
