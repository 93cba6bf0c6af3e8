// The filter's process-wide state and its option table.
#include <cstdarg>
#include <cstring>

#include "VEMLogging.h"
#include "rastertovem_core.h"

namespace {

// The log settings take effect as soon as their entries are filled, so the
// rest of the option parsing is already logged at the job's level.
template <auto Apply>
void applyLogSetting(int value) {
    if (g_LogEnable == 1)
        Apply(static_cast<unsigned>(value));
}

// The filter's job options, in the order other modules read them.
VemPPDOption s_options[OPT_FILTER_COUNT] = {
    {"LogCount", VEM_OPT_SELECT, 0, 1000, applyLogSetting<SetLogFileCount>, 0, {}},
    {"LogLevel", VEM_OPT_SELECT, 0, 255, applyLogSetting<SetLogLevel>, 0, {}},
    {"CutSetting", VEM_OPT_SELECT, 0, 6, nullptr, 0, {}},
    {"CutType", VEM_OPT_SELECT, 1, 1, nullptr, 0, {}},
    {"CDPin", VEM_OPT_SELECT, 0, 2, nullptr, 0, {}},
    {"CDOpen", VEM_OPT_SELECT, 1, 1, nullptr, 0, {}},
    {"CDPulse", VEM_OPT_SELECT, 3, 9, nullptr, 0, {}},
    {"FontSize", VEM_OPT_SELECT, 0, 1, nullptr, 0, {}},
    {"PaperConservation", VEM_OPT_SELECT, 1, 3, nullptr, 0, {}},
    {"BmpFormat", VEM_OPT_SELECT, 0, 1, nullptr, 0, {}},
    {"DitherType", VEM_OPT_SELECT, 0, 3, nullptr, 0, {}},
    {"PageSize;PageSize", VEM_OPT_CUSTOM_STRING, 0, 0, nullptr, 0, {}},
};

// Capabilities of the KVRS-M2A, the record's starting point.
constexpr VemPrinterCap kCapM2A = {
    144,
    {576, 576, 400, 400},
    1,
    0,
    3,
    {0x10, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0},
    6,
    {{0, 0x04}, {1, 0x04}, {1, 0x40}, {1, 0x20}, {2, 0x08}, {2, 0x20},
     {5, 0x04}, {3, 0x0C}, {3, 0x60}, {2, 0x40}, {0, 0}, {0, 0}},
};

}  // namespace

volatile sig_atomic_t g_bTerminate = 0;
int g_uiModel = VEM_MODEL_NONE;
int g_uiInterface = VEM_CUPS_IF_NONE;
VemHWSetting g_HWNow = {0, 0};
VemPrinterCap g_capPrinter = kCapM2A;
VemPrinterCap* g_pHWCap = &g_capPrinter;
uint8_t g_RTSPrev[6] = {};
int g_isFirst = 1;
uint32_t g_uiPrevData = 0;
uint32_t g_uiReasonsSet = 0;
int g_nPrinterFd = 1;
int g_bPrinterGone = 0;
uint32_t g_uiMaxPageDots = kDefaultMaxPageDots;
FILE* g_pCupsMsg = stderr;

void installFilterOptions() { setPPDOptionTable(s_options); }

int filterOption(VemFilterOption pos) {
    return pos < g_nPPDList.size() ? g_nPPDList[pos].value : s_options[pos].defaultValue;
}

void resetFilterState() {
    g_bTerminate = 0;
    g_uiModel = VEM_MODEL_NONE;
    g_uiInterface = VEM_CUPS_IF_NONE;
    g_HWNow = {0, 0};
    g_capPrinter = kCapM2A;
    g_pHWCap = &g_capPrinter;
    std::memset(g_RTSPrev, 0, sizeof g_RTSPrev);
    g_isFirst = 1;
    g_uiPrevData = 0;
    g_uiReasonsSet = 0;
    g_SeqNumber = 1;
    g_bPrinterGone = 0;
    g_uiMaxPageDots = kDefaultMaxPageDots;
    installFilterOptions();
}

void vemCupsMessage(const char* lpszFormat, ...) {
    if (g_pCupsMsg == nullptr)
        return;
    va_list ap;
    va_start(ap, lpszFormat);
    std::vfprintf(g_pCupsMsg, lpszFormat, ap);
    va_end(ap);
}
