/*
 * VEMLogging.h - the process-wide debug log of the KVRS driver suite.
 *
 * Every program and library of the suite writes its diagnostics through
 * these six calls.  A line is written only when its level has a bit in
 * common with the mask set by SetLogLevel(); it goes to standard output, or
 * to a size-rotated log file once SetLogFilename() and SetLogFileCount()
 * have been called.  Plain C: applications written in C include it too.
 */
#ifndef VEM_LOGGING_H
#define VEM_LOGGING_H

#if defined(__GNUC__)
#define VEM_LOG_API __attribute__((visibility("default")))
#else
#define VEM_LOG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Level bits a message may carry; the mask may combine several. */
enum {
    LOG_LEVEL_ERROR = 1,   /* printed "C_E" */
    LOG_LEVEL_WARN = 2,    /* printed "WAR" */
    LOG_LEVEL_DEBUG = 4,   /* printed "DBG" ("INF" with an entry/exit token) */
    LOG_LEVEL_DUMP = 8,    /* printed "VBS" */
    LOG_LEVEL_TRACE = 16   /* printed "TRC" ("INF" with an entry/exit token) */
};

/* Direction tokens, printed as two characters after the function number. */
typedef enum LOG_TOKEN_ID {
    LOG_START = 0,    /* "->" */
    LOG_END = 1,      /* "<-" */
    LOG_ERRNO = 2,    /* "XX" */
    LOG_WARN = 3,     /* "xx" */
    LOG_DBG = 4,      /* two blanks */
    LOG_TRACE = 5,    /* two blanks */
    LOG_EX_START = 6, /* ">>" */
    LOG_EX_END = 7    /* "<<" */
} LOG_TOKEN_ID;

/* Sets the level mask; 0 silences the log.  Always returns 1. */
VEM_LOG_API int SetLogLevel(unsigned int nLevel);

/* Number of files kept (live file plus numbered generations), at most
 * 1000; 0 makes file logging write nothing. */
VEM_LOG_API void SetLogFileCount(unsigned int nCount);

/* Forgets the log file; later lines go to standard output. */
VEM_LOG_API void CancelLogFile(void);

/* Sets the log file (created if missing).  NULL or "" cancels file logging
 * and returns 1.  Returns 0, keeping the previous destination, when the file
 * cannot be opened for appending or the path is too long to rotate (more
 * than 396 characters).  Does not change the file count. */
VEM_LOG_API int SetLogFilename(const char* lpszFilename);

/* Formats one line with printf rules and writes it if the level is enabled.
 * A line longer than 499 bytes (newline included) is cut, keeping its
 * newline; a token outside LOG_TOKEN_ID prints as "??". */
VEM_LOG_API void DbgLogMessage(unsigned int nLogLevel, unsigned int nFuncNo, unsigned int nToken,
                               const char* lpszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

/* Dumps nSize bytes at pBuffer in hexadecimal, 20 bytes a line; bSend
 * non-zero marks data sent, zero data received. */
VEM_LOG_API void DbgByteData(unsigned int nLogLevel, unsigned int nFuncNo, int bSend,
                             unsigned char* pBuffer, int nSize);

#ifdef __cplusplus
}
#endif

#endif /* VEM_LOGGING_H */
