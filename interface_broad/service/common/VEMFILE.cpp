// VEMFILE.cpp - the file port driver.
#include "VEMFILE.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

// ---- Per-slot state (see VEMFILE.h) --------------------------------------
UniqueStream g_FileHandle[PORT_SLOT_MAX];              // open file, or null
int g_Format[PORT_SLOT_MAX];                           // 0 hex text, else raw
UniqueSem g_pFileSem[PORT_SLOT_MAX];                   // port semaphore, or null
int g_InitFileSem[PORT_SLOT_MAX];                      // 1: close it in close_port_file
char g_semFileName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];  // the semaphore's name

namespace {

// Static initialisation gives zeros; the format's reset value is raw.
const bool g_slotsReset = [] {
    for (int& f : g_Format) f = VEM_FILE_RAW;
    return true;
}();

const char* text(const char* s) {
    return s != nullptr ? s : "";
}

// True, after logging it, when idx is no slot of this build.
bool bad_slot(unsigned int fn, int idx) {
    if (valid_slot(idx)) return false;
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "invalid parameter=%d", idx);
    return true;
}

// Appends n bytes of data to f, as hexadecimal text (two upper-case digits
// per byte, nothing between) when hex is set; logs why not.
int append_block(std::FILE* f, const unsigned char* data, std::size_t n, bool hex) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    static const unsigned char kNothing = 0;  // fwrite wants a buffer even for 0 bytes
    const void* out = data != nullptr ? data : &kNothing;
    std::size_t len = n;
    std::string text;
    if (hex) {
        try {
            text.resize(2 * n);
        } catch (const std::bad_alloc&) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_file, LOG_ERRNO, "Out of memory");
            return VEM_ILLEGAL;
        }
        for (std::size_t i = 0; i < n; ++i) {
            text[2 * i] = kDigits[data[i] >> 4];
            text[2 * i + 1] = kDigits[data[i] & 0x0F];
        }
        out = text.data();
        len = text.size();
    }
    errno = 0;
    const std::size_t written = std::fwrite(out, 1, len, f);
    if (written == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_file, LOG_ERRNO, "write fail; ret=%d, error=%d",
                      0, errno);
        return VEM_ILLEGAL;
    }
    if (written < len) {
        DbgLogMessage(LOG_LEVEL_WARN, fn_send_data_file, LOG_WARN,
                      "write error size : %d (expect:%d)", static_cast<int>(written),
                      static_cast<int>(n));
        return VEM_ILLEGAL;
    }
    return VEM_SUCCESS;
}

}  // namespace

void init_buf_file() {
    for (int i = 0; i < PORT_SLOT_MAX; ++i) {
        g_FileHandle[i].reset();
        g_Format[i] = VEM_FILE_RAW;
        g_pFileSem[i].reset();
        g_InitFileSem[i] = 0;
        std::memset(g_semFileName[i], 0, VEM_SEM_NAME_SIZE);
    }
}

int connect_file(int idx, const char* lpszFilename) {
    if (bad_slot(fn_connect_file, idx)) return 0;
    std::FILE* f = lpszFilename != nullptr ? std::fopen(lpszFilename, "ab+") : nullptr;
    if (f == nullptr) {
        const int err = lpszFilename != nullptr ? errno : EINVAL;
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_file, LOG_ERRNO, "Open(%s) error=%d",
                      text(lpszFilename), err);
        return 0;
    }
    g_FileHandle[idx].reset(f);
    return 1;
}

int close_file_handle(int idx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_file_handle, LOG_START, "Close file port Enter");
    if (bad_slot(fn_close_file_handle, idx)) return 0;
    int result = 1;
    if (std::FILE* f = g_FileHandle[idx].release(); f != nullptr) {
        // fclose frees the stream even when it fails (the final flush went
        // wrong): the slot must not keep it, or the next close would free it
        // twice.  The failure is still reported.
        if (std::fclose(f) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_close_file_handle, LOG_ERRNO,
                          "close file (all) errno=%d", errno);
            result = 0;
        }
        g_Format[idx] = VEM_FILE_RAW;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_file_handle, LOG_END, "Close file port Exit=%d",
                  result);
    return result;
}

int reconnect_file(int idx, const char* lpszFilename, int nFormat) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_reconnect_file, LOG_START, "Reconnect file enter");
    if (bad_slot(fn_reconnect_file, idx)) return VEM_ILLEGAL;
    int result = VEM_SUCCESS;
    close_file_handle(idx);
    g_Format[idx] = nFormat;
    if (connect_file(idx, lpszFilename) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_reconnect_file, LOG_ERRNO, "connect_file(%s) fail",
                      text(lpszFilename));
        close_file_handle(idx);
        result = VEM_NODEVICE;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_reconnect_file, LOG_END, "Reconnect file Exit=%d", result);
    return result;
}

void close_port_file(int idx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_port_file, LOG_START, "Close file Enter=%d", idx);
    if (bad_slot(fn_close_port_file, idx)) return;
    release_port_semaphore(g_pFileSem[idx], g_InitFileSem[idx], g_semFileName[idx]);
    close_file_handle(idx);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_port_file, LOG_END, "Close file Exit");
}

sem_t* getFileSemaphore(int idx) {
    if (bad_slot(fn_unknown, idx)) return nullptr;
    return g_pFileSem[idx].get();
}

sem_t* createFileSemaphore(char* szName, const char* lpszFilename) {
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_createFileSemaphore, LOG_START,
                  "Create file semaphore Enter:%s", text(lpszFilename));
    if (szName == nullptr) return nullptr;

    errno = 0;
    return open_composed_semaphore(szName, compose_port_sem_name(szName, VEM_FILE_SEM_TEMPLATE, lpszFilename),
                                   fn_createFileSemaphore, LOG_LEVEL_DEBUG, "file");
}

int init_port_file(int idx, const char* lpszFilename, int nFormat) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_file, LOG_START, "Init file port enter");
    if (bad_slot(fn_init_port_file, idx)) return VEM_NODEVICE;

    int result = VEM_SUCCESS;
    if (g_FileHandle[idx]) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_file, LOG_ERRNO, "File already open");
        result = VEM_INUSED;
    } else {
        if (nFormat != VEM_FILE_HEX && nFormat != VEM_FILE_RAW) {
            DbgLogMessage(LOG_LEVEL_WARN, fn_init_port_file, LOG_WARN,
                          "Invalid format value(%d), default to binary", nFormat);
            nFormat = VEM_FILE_RAW;
        }
        char probe[VEM_SEM_NAME_SIZE];
        sem_t* pSem = nullptr;
        // Refuse a name the port could never lock before creating its file.
        if (!compose_port_sem_name(probe, VEM_FILE_SEM_TEMPLATE, lpszFilename)) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_file, LOG_ERRNO,
                          "Invalid file name(%s), at most %d characters", text(lpszFilename),
                          static_cast<int>(VEM_FILE_NAME_MAX));
            close_port_file(idx);
            result = VEM_ILLEGAL;
        } else if (connect_file(idx, lpszFilename) == 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_file, LOG_ERRNO, "connect_file(%s) fail",
                          text(lpszFilename));
            close_port_file(idx);
            result = VEM_NODEVICE;
        } else if ((pSem = createFileSemaphore(g_semFileName[idx], lpszFilename)) == nullptr) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_file, LOG_ERRNO, "Create semaphore failed");
            close_port_file(idx);
            result = VEM_NODEVICE;
        } else {
            g_pFileSem[idx].reset(pSem);
            g_Format[idx] = nFormat;
            g_InitFileSem[idx] = 1;
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_file, LOG_END, "Init file port Exit=%d", result);
    return result;
}

int send_data_file(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                   unsigned long /*dwTimeout*/) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_file, LOG_START, "Send file data enter");
    if (bad_slot(fn_send_data_file, idx)) return VEM_ILLEGAL;

    int result = VEM_ILLEGAL;
    std::FILE* f = g_FileHandle[idx].get();
    if (f == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_file, LOG_ERRNO, "Invalid file handle");
        result = VEM_NOINIT;
    } else if (pdwSize == nullptr || nSendSize < 0 || (pBySendData == nullptr && nSendSize > 0)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_file, LOG_ERRNO,
                      "Invalid send buffer(0x%08X, size=%d)", ptr_low32(pBySendData), nSendSize);
    } else {
        *pdwSize = 0;
        result = append_block(f, pBySendData, static_cast<std::size_t>(nSendSize),
                              g_Format[idx] == VEM_FILE_HEX);
        if (result == VEM_SUCCESS) {
            *pdwSize = static_cast<unsigned long>(nSendSize);
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_send_data_file, LOG_DBG, "send success=%d",
                          nSendSize);
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_file, LOG_END, "Send file data Exit=%d", result);
    return result;
}

int receive_data_file(int idx, unsigned char* /*pByReceiveData*/, int nReceiveSize,
                      unsigned long* pdwRecSize, unsigned long /*dwTimeout*/) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_receive_data_file, LOG_START, "Receive file data enter");
    if (bad_slot(fn_receive_data_file, idx)) return VEM_ILLEGAL;
    if (!g_FileHandle[idx]) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_file, LOG_ERRNO, "Invalid file handle");
        return VEM_NOINIT;
    }
    if (pdwRecSize == nullptr || nReceiveSize < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_file, LOG_ERRNO,
                      "Invalid receive buffer(size=%d)", nReceiveSize);
        return VEM_ILLEGAL;
    }
    // A file has nothing to answer: the caller's buffer stays as it is.
    *pdwRecSize = static_cast<unsigned long>(nReceiveSize);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_receive_data_file, LOG_START,
                  "Receive file data exit(Always success)");
    return VEM_SUCCESS;
}
