// VEMModels.h - the KVRS models this suite drives, shared by the filter and
// the backend.
//
// USB identifiers: the suite uses the pid.codes vendor ID 0x1209 with two of
// its product IDs reserved for private testing (0x0001, 0x0002), so they can
// never collide with a real maker's device.  A product build replaces them
// with the identifiers the hardware actually reports.
#pragma once

#include <cstdint>

inline constexpr int VEM_USB_VENDOR_ID = 0x1209;
inline constexpr int VEM_USB_PRODUCT_M1A = 0x0001;
inline constexpr int VEM_USB_PRODUCT_M2A = 0x0002;

// Model ids; VEM_MODEL_NONE means no model has been recognised.
enum VemModelId : int { VEM_MODEL_M1A = 0, VEM_MODEL_M2A = 1, VEM_MODEL_NONE = 3 };

struct VemPrinterModel {
    int nModelId;
    int nVendorId;
    int nProductId;
    char szShortName[50];    // what the PPD's NickName contains
    char szDisplayName[50];  // shown in device listings
};

inline constexpr VemPrinterModel g_PrinterName[] = {
    {VEM_MODEL_M1A, VEM_USB_VENDOR_ID, VEM_USB_PRODUCT_M1A, "KVRSM1A", "KVRS-M1A: USB"},
    {VEM_MODEL_M2A, VEM_USB_VENDOR_ID, VEM_USB_PRODUCT_M2A, "KVRSM2A", "KVRS-M2A: USB"},
};
inline constexpr int g_TotalPrinter = 2;
static_assert(sizeof(g_PrinterName) / sizeof(g_PrinterName[0]) == g_TotalPrinter);
