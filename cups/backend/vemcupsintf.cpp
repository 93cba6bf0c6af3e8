// vemcupsintf - the CUPS backend of the KVRS printers.
//
// Without arguments it lists the printers it can find.  For a job CUPS runs
// it as "URI job-id user title copies options [file]": it opens the printer
// named by the device URI through the port-access library, which in service
// mode hands the port to the port-sharing daemon, copies the filter's
// command stream to it in blocks, and meanwhile answers the filter's status
// requests on the CUPS side channel.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <cups/backend.h>
#include <cups/sidechannel.h>

#include "VEMBackend.h"
#include "VEMCupsCommon.h"
#include "VEMFd.h"
#include "VEMInterface.h"
#include "VEMLogging.h"

extern "C" int _cupsLangPrintf(FILE* fp, const char* message, ...);

namespace {

constexpr unsigned kFnMain = 100;
constexpr unsigned kFnList = 103;

// SIGTERM: CUPS cancels the job.  Only the flag; the loops notice it.
extern "C" void sigterm_handler(int) { g_bTerminate = 1; }

// The backend's job options: the log settings, which also reach the
// port-access library so that its lines land in the backend's log.
template <auto Apply, auto Forward>
void applyLogSetting(int value) {
    if (g_LogEnable != 1) return;
    Apply(static_cast<unsigned>(value));
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG,
                  Forward == init_LogCount ? "Call init_LogCount:%d" : "Call init_LogLevel:%d",
                  value);
    Forward(value);
}

VemPPDOption s_options[] = {
    {"LogCount", VEM_OPT_SELECT, 0, 1000, applyLogSetting<SetLogFileCount, init_LogCount>, 0, {}},
    {"LogLevel", VEM_OPT_SELECT, 0, 255, applyLogSetting<SetLogLevel, init_LogLevel>, 0, {}},
};

bool isSocket(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

int main(int argc, char* argv[]) {
    // CUPS reads our message lines as they are written.
    setbuf(stderr, nullptr);

    // The port is shared through the port-sharing daemon.
    init_intf_type(SHARE_PORT_SVR);

    // Log file first, silent until the job's options say otherwise.
    if (SetLogFilename(kBackendLogPath)) {
        SetLogFileCount(0);
        SetLogLevel(0);
        init_LogFilename(kBackendLogPath);
        g_LogEnable = 1;
    } else {
        SetLogFileCount(0);
        SetLogLevel(0);
    }

    // A vanished printer connection is a failed write, not a kill; SIGTERM
    // ends the job through the loops.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = sigterm_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);

    // No arguments: CUPS asks which printers are there.
    if (argc == 1) {
        DbgLogMessage(LOG_LEVEL_TRACE, kFnList, LOG_START, "List printers");
        list_vem_printer();
        return CUPS_BACKEND_OK;
    }

    // job-id user title copies options [file]
    if (argc < 6 || argc > 7) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Invalid argument count:%d", argc - 1);
        _cupsLangPrintf(stderr, "Usage: %s job-id user title copies options [file]", argv[0]);
        return CUPS_BACKEND_FAILED;
    }

    // The job's log settings.
    setPPDOptionTable(s_options);
    extractArgvOption(argv[5]);
    DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_START, "ZOLVANT CUPS Backend Version = V%d.%d.%d.%d",
                  2, 0, 0, 0);

    // Only our own URIs: USB, serial or Ethernet.
    const char* uri = cupsBackendDeviceURI(argv);
    int type = getCUPSInterfaceType(uri);
    if (type != VEM_CUPS_IF_OWN_USB && type != VEM_CUPS_IF_OWN_SERIAL &&
        type != VEM_CUPS_IF_OWN_ETH) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Invalid interface type:%d", type);
        return CUPS_BACKEND_FAILED;
    }
    for (int i = 0; i < 7; ++i)
        DbgLogMessage(LOG_LEVEL_TRACE, kFnMain, LOG_TRACE, "VEM CUPS backend argv[%d] = %s", i,
                      i < argc && argv[i] != nullptr ? argv[i] : "NULL");

    // The print data: the named file, or what the filter writes.
    vem::UniqueFd file;
    int input = 0;
    if (argc == 7) {
        file.reset(::open(argv[6], O_RDONLY | O_CLOEXEC));
        if (!file) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Open file descriptor fail");
            return CUPS_BACKEND_FAILED;
        }
        input = file.get();
    }

    // The side channel carries the filter's status requests; without it
    // the filter could not know whether the printer is ready.
    pthread_t scThread{};
    if (isSocket(CUPS_SC_FD)) {
        g_scRunning = true;
        const int rc = pthread_create(&scThread, nullptr, sidechannel_thread, &type);
        if (rc != 0) {
            g_scRunning = false;
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Fail start side channel thread:%d",
                          rc);
        } else {
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Create side channel thread:0x%08X",
                          static_cast<unsigned>(scThread));
        }
    } else {
        DbgLogMessage(LOG_LEVEL_WARN, kFnMain, LOG_WARN, "Cannot find side channel");
    }
    const bool scStarted = g_scRunning;

    // Copy the job.
    std::uint32_t received = 0;
    const int result = runJob(type, uri, input, &received);

    // Wind down: the side channel first, then the printer connection.
    if (scStarted) {
        g_stopSC = 1;
        const int rc = pthread_join(scThread, nullptr);
        if (rc != 0)
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Stop side channel thread error:%d",
                          rc);
        else
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Side channel thread stop successfully");
    }
    file.reset();
    if (g_uiConnect == VEM_CONN_CONNECTED || g_uiConnect == VEM_CONN_BROKEN) init_close();
    DbgLogMessage(LOG_LEVEL_TRACE, kFnMain, LOG_END, "Exit backends (ret:%d, size:%d)", result,
                  static_cast<int>(received));
    return result;
}
