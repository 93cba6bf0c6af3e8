// VEMCupsCommon.h - job-option, PPD, device-URI and Ethernet-frame helpers
// shared by the two CUPS programs (the raster filter and the backend).
//
// The option table itself belongs to each program: a program defines its
// own array of VemPPDOption and installs it with setPPDOptionTable() before
// calling extractArgvOption().  Everything here is used from one thread
// (the option table is filled before any other thread starts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Kinds of option table entries.
enum VemOptionKind : int {
    VEM_OPT_SELECT = 0,       // selection by number
    VEM_OPT_CUSTOM_INT = 1,   // number that may also come as a custom value
    VEM_OPT_CUSTOM_STRING = 2 // custom string ("Keyword;ParamName")
};

// One known job option.  `value` starts as `defaultValue` and is only ever
// overwritten by a valid number (0..maximum).
struct VemPPDOption {
    const char* name;       // keyword, or "Keyword;CustomParam" for kind 2
    int kind;               // VemOptionKind
    int defaultValue;
    int maximum;
    // Called after the entry has been filled (the programs forward the log
    // settings from here); may be null.
    void (*onFilled)(int value);
    int value;
    std::optional<std::string> text;  // string value of a kind-2 entry
};

// Set to 1 by a program once SetLogFilename() succeeded.
extern int g_LogEnable;
// The installed option table (empty until setPPDOptionTable()).
extern std::span<VemPPDOption> g_nPPDList;
// Sequence number of the next Ethernet status frame; starts at 1.
extern int32_t g_SeqNumber;

// Installs a program's option table and puts every entry back to its
// default (value = default, no text).  Calling it again resets the table.
void setPPDOptionTable(std::span<VemPPDOption> table);

// Fills the table from the job's option text (argv[5]) and, for options the
// job does not name, from the PPD file named by the environment variable PPD.
// A null text counts as empty.
void extractArgvOption(const char* lpszOptions);

// Frees every entry's text.
void releasePPDResource();

// Copies the value of PPD attribute `lpszKeyword` into lpszDest (at most
// nSize - 1 characters, terminated).  Returns 1 if the PPD could be opened
// (even when the attribute is missing: then lpszDest is untouched), else 0.
int readPPDAttr(const char* lpszKeyword, char* lpszDest, unsigned int nSize);

// The longest page the PPD allows, in points: its largest custom length or
// its longest named size.  0 if the PPD cannot be opened or names none.
double readPPDMaxLength();

// Reads the custom value of table entry nPos (kind 1 or 2) from the value
// text of the job options (may be null) or the PPD.  1 if a value was stored.
int readPPDCustomOption(unsigned int nPos, const char* lpszValue);

// Decimal number at the start of the text (stops at the first non-digit;
// saturates at INT_MAX), or -1 if the text does not begin with a digit.
int getOptionSelectIdx(const char* lpszText);

// 1 if the text begins with "custom" in any case, else 0.
int isCustomSelect(const char* lpszText);

// Interface types of a device URI.
enum VemCupsInterface : int {
    VEM_CUPS_IF_NONE = 0,
    VEM_CUPS_IF_OTHER_USB = 1,
    VEM_CUPS_IF_OTHER_SERIAL = 2,
    VEM_CUPS_IF_OTHER_SOCKET = 4,
    VEM_CUPS_IF_OWN_USB = 5,
    VEM_CUPS_IF_OWN_SERIAL = 6,
    VEM_CUPS_IF_OWN_ETH = 7
};

// Classifies a device URI (null or empty gives 0).
int getCUPSInterfaceType(const char* lpszUri);

// Ethernet status frame:
//   bytes 0-3  sequence number, unsigned 32-bit little-endian
//   bytes 4..  command bytes (request) or reply bytes (reply)
// Writes the current sequence number and the command into pDest and
// advances the counter (1 .. 16777216, then 1 again).  Returns the number
// used, or -1 (nothing written, counter unchanged) when nSize is too small.
int configureEthSeqNum(uint8_t* pDest, unsigned int nSize, const uint8_t* pCmd,
                       unsigned int nCmdLen, unsigned int* pnHeaderLen);

// Checks and strips the 4-byte header of a reply in place (a mismatching
// number is only logged).  Replies of 3 bytes or fewer are left alone.
void removeEthSeq(uint8_t* pReply, unsigned int nLen, unsigned int nSent);
