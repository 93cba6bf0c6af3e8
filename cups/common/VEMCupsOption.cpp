// Job options and PPD reads.
//
// The PPD named by $PPD is opened when a lookup needs it (once for all the
// options of a job) and closed again; a missing or unreadable PPD silently
// leaves defaults.
#include "VEMCupsCommon.h"

#include <cups/ppd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "VEMLogging.h"

namespace {

constexpr unsigned kFnExtract = 200;
constexpr unsigned kFnReadAttr = 201;
constexpr unsigned kFnReadCustom = 202;

// libcups marks its PPD interface deprecated; this filter has to use it, so
// the warning is silenced here and only here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Owner of one opened PPD file.
class PpdFile {
public:
    PpdFile() {
        const char* path = std::getenv("PPD");
        if (path != nullptr && *path != '\0')
            ppd_ = ppdOpenFile(path);
    }
    ~PpdFile() {
        if (ppd_ != nullptr)
            ppdClose(ppd_);
    }
    PpdFile(const PpdFile&) = delete;
    PpdFile& operator=(const PpdFile&) = delete;

    explicit operator bool() const { return ppd_ != nullptr; }

    // Default choice of an option, or null if the option is missing.
    const char* defaultChoice(const char* keyword) const {
        ppd_option_t* opt = ppdFindOption(ppd_, keyword);
        return opt != nullptr ? opt->defchoice : nullptr;
    }
    const char* attribute(const char* keyword) const {
        ppd_attr_t* attr = ppdFindAttr(ppd_, keyword, nullptr);
        return attr != nullptr ? attr->value : nullptr;
    }
    void markDefaults() { ppdMarkDefaults(ppd_); }
    ppd_coption_t* customOption(const char* keyword) const {
        return ppdFindCustomOption(ppd_, keyword);
    }
    static ppd_cparam_t* customParam(ppd_coption_t* opt, const char* name) {
        return ppdFindCustomParam(opt, name);
    }
    // The longest page in points: the largest custom length or the longest
    // named size, whichever is longer; 0 if the PPD names none.
    double maxLength() const {
        double longest = ppd_->variable_sizes ? ppd_->custom_max[1] : 0.0;
        for (int i = 0; i < ppd_->num_sizes; ++i)
            longest = std::max(longest, static_cast<double>(ppd_->sizes[i].length));
        return longest;
    }

private:
    ppd_file_t* ppd_ = nullptr;
};

#pragma GCC diagnostic pop

// Splits "Keyword;Param" into its two words (the second may be empty).
void splitName(const char* name, std::string& main, std::string& sub) {
    std::string_view n(name);
    size_t semi = n.find(';');
    if (semi == std::string_view::npos) {
        main.assign(n);
        sub.clear();
    } else {
        main.assign(n.substr(0, semi));
        sub.assign(n.substr(semi + 1));
    }
}

bool inRange(int v, const VemPPDOption& e) { return v >= 0 && v <= e.maximum; }

// Stores a copy of `text` as the entry's string value; false if out of memory.
bool storeText(VemPPDOption& e, const char* text) {
    try {
        e.text.emplace(text);
        return true;
    } catch (const std::bad_alloc&) {
        e.text.reset();
        return false;
    }
}

}  // namespace

int g_LogEnable = 0;
std::span<VemPPDOption> g_nPPDList;
int32_t g_SeqNumber = 1;

void setPPDOptionTable(std::span<VemPPDOption> table) {
    g_nPPDList = table;
    for (VemPPDOption& e : g_nPPDList) {
        e.value = e.defaultValue;
        e.text.reset();
    }
}

int getOptionSelectIdx(const char* lpszText) {
    if (lpszText == nullptr || !std::isdigit(static_cast<unsigned char>(*lpszText)))
        return -1;
    long long v = 0;
    for (const char* p = lpszText; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX)
            return INT_MAX;  // far out of any option's range; never overflow
    }
    return static_cast<int>(v);
}

int isCustomSelect(const char* lpszText) {
    return lpszText != nullptr && strncasecmp(lpszText, "custom", 6) == 0 ? 1 : 0;
}

double readPPDMaxLength() {
    PpdFile ppd;
    return ppd ? ppd.maxLength() : 0.0;
}

int readPPDAttr(const char* lpszKeyword, char* lpszDest, unsigned int nSize) {
    PpdFile ppd;
    if (!ppd)
        return 0;
    const char* value = ppd.attribute(lpszKeyword);
    if (value != nullptr && lpszDest != nullptr && nSize > 0) {
        size_t n = strnlen(value, nSize - 1);
        std::memcpy(lpszDest, value, n);
        lpszDest[n] = '\0';
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadAttr, LOG_DBG, "Read %s = %s (%d)", lpszKeyword,
                      lpszDest, static_cast<int>(n));
    }
    return 1;
}

namespace {

// readPPDCustomOption on a PPD the caller opens (or not) when first needed.
int readCustomOption(VemPPDOption& e, const char* lpszValue, std::optional<PpdFile>& ppdSlot) {
    std::string mainName, subName;
    splitName(e.name, mainName, subName);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadCustom, LOG_START, "Start readPPDCustomOption(%s, %s)",
                  mainName.empty() ? "null" : mainName.c_str(),
                  subName.empty() ? "null" : subName.c_str());
    if (mainName.empty() || subName.empty()) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnReadCustom, LOG_ERRNO, "Invalid main or sub name");
        return 0;
    }

    // A value such as "Custom.80x200mm" carries its own custom value after
    // the point in seventh position.
    const char* ownValue = nullptr;
    if (lpszValue != nullptr && strnlen(lpszValue, 7) == 7 && lpszValue[6] == '.')
        ownValue = lpszValue + 7;

    if (!ppdSlot)
        ppdSlot.emplace();
    PpdFile& ppd = *ppdSlot;
    if (!ppd) {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadCustom, LOG_DBG, "ppdOpenFile problem");
        return 0;
    }
    ppd.markDefaults();
    ppd_coption_t* copt = ppd.customOption(mainName.c_str());
    if (copt == nullptr) {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadCustom, LOG_DBG, "ppdFindCustomOption problem");
        return 0;
    }
    ppd_cparam_t* cparam = PpdFile::customParam(copt, subName.c_str());
    if (cparam == nullptr) {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadCustom, LOG_DBG, "ppdFindCustomParam problem");
        return 0;
    }
    const char* defChoice = copt->option != nullptr ? copt->option->defchoice : "";

    if (e.kind == VEM_OPT_CUSTOM_INT) {
        if (cparam->type != PPD_CUSTOM_INT)
            return 0;
        int own = ownValue != nullptr ? getOptionSelectIdx(ownValue) : -1;
        if (ownValue != nullptr && inRange(own, e)) {
            e.value = own;
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadCustom, LOG_DBG,
                          "Manual input Custom(%s) find integer(%s = %d)", defChoice, cparam->text,
                          own);
            return 1;
        }
        int fromPpd = cparam->current.custom_int;
        if (inRange(fromPpd, e)) {
            e.value = fromPpd;
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadCustom, LOG_DBG,
                          "Custom(%s) find integer(%s = %d)", defChoice, cparam->text, fromPpd);
            return 1;
        }
        DbgLogMessage(LOG_LEVEL_WARN, kFnExtract, LOG_WARN,
                      "Option Name:%s (0-%d), invalid:%d, use default:%d", e.name, e.maximum,
                      fromPpd, e.value);
        return 0;
    }
    if (e.kind == VEM_OPT_CUSTOM_STRING) {
        if (cparam->type != PPD_CUSTOM_STRING)
            return 0;
        const char* str = ownValue != nullptr ? ownValue : cparam->current.custom_string;
        if (str == nullptr)
            return 0;
        if (!storeText(e, str)) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnReadCustom, LOG_ERRNO, "Out of memory");
            return 0;
        }
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadCustom, LOG_DBG, "Custom(%s) find string(%s = %s)",
                      defChoice, cparam->text, e.text->c_str());
        return 1;
    }
    return 0;
}

// Fills entry `e` from its PPD default choice (the job does not name it).
void fillFromPpdDefault(VemPPDOption& e, const std::string& keyword,
                        std::optional<PpdFile>& ppdSlot) {
    bool stored = false;
    if (!ppdSlot)
        ppdSlot.emplace();
    const PpdFile& ppd = *ppdSlot;
    if (ppd) {
        const char* def = ppd.defaultChoice(keyword.c_str());
        if (def != nullptr && *def != '\0') {
            if (e.kind == VEM_OPT_SELECT || e.kind == VEM_OPT_CUSTOM_INT) {
                int v = getOptionSelectIdx(def);
                if (inRange(v, e)) {
                    e.value = v;
                    stored = true;
                    DbgLogMessage(LOG_LEVEL_DEBUG, kFnExtract, LOG_DBG,
                                  "Option Name:%s, system default:%d", e.name, v);
                } else {
                    DbgLogMessage(LOG_LEVEL_WARN, kFnExtract, LOG_WARN,
                                  "Option Name:%s (0-%d), system:%s, invalid:%d, use default:%d",
                                  e.name, e.maximum, def, v, e.value);
                }
            } else if (e.kind == VEM_OPT_CUSTOM_STRING) {
                if (storeText(e, def)) {
                    stored = true;
                    DbgLogMessage(LOG_LEVEL_DEBUG, kFnExtract, LOG_DBG,
                                  "Option Name:%s, system default:%s", e.name, def);
                } else {
                    DbgLogMessage(LOG_LEVEL_ERROR, kFnReadCustom, LOG_ERRNO, "Out of memory");
                }
            } else {
                DbgLogMessage(LOG_LEVEL_WARN, kFnExtract, LOG_WARN,
                              "Option Name:%s, system:%s not found", e.name, def);
            }
        }
    }
    if (!stored && (e.kind == VEM_OPT_SELECT || e.kind == VEM_OPT_CUSTOM_INT))
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnExtract, LOG_DBG, "Option Name:%s, value(use default):%d",
                      e.name, e.value);
}

}  // namespace

int readPPDCustomOption(unsigned int nPos, const char* lpszValue) {
    if (nPos >= g_nPPDList.size())
        return 0;
    std::optional<PpdFile> ppd;
    return readCustomOption(g_nPPDList[nPos], lpszValue, ppd);
}

void extractArgvOption(const char* lpszOptions) {
    const char* options = lpszOptions != nullptr ? lpszOptions : "";
    std::optional<PpdFile> ppd;  // opened by the first lookup that needs it
    for (VemPPDOption& e : g_nPPDList) {
        std::string keyword, param;
        splitName(e.name, keyword, param);

        const char* found = keyword.empty() ? nullptr : std::strstr(options, keyword.c_str());
        if (found != nullptr) {
            const char* after = found + keyword.size();
            if (*after == '=') {
                const char* valueText = after + 1;
                if (e.kind == VEM_OPT_SELECT ||
                    (e.kind == VEM_OPT_CUSTOM_INT && !isCustomSelect(valueText))) {
                    int v = getOptionSelectIdx(valueText);
                    if (inRange(v, e)) {
                        e.value = v;
                        DbgLogMessage(LOG_LEVEL_DEBUG, kFnExtract, LOG_DBG,
                                      "Option Name:%s, value:%d", e.name, v);
                    } else {
                        DbgLogMessage(LOG_LEVEL_WARN, kFnExtract, LOG_WARN,
                                      "Option Name:%s (0-%d), invalid:%d, use default:%d", e.name,
                                      e.maximum, v, e.value);
                    }
                } else {
                    readCustomOption(e, valueText, ppd);
                }
            }
            // Keyword present without "=": the entry is left as it is.
        } else {
            fillFromPpdDefault(e, keyword, ppd);
        }
        if (e.onFilled != nullptr)
            e.onFilled(e.value);
    }
}

void releasePPDResource() {
    for (VemPPDOption& e : g_nPPDList)
        e.text.reset();
}
