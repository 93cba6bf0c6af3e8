// VEMModels.h - the KVRS models this suite drives, shared by the filter and
// the backend.
//
// USB identifiers: vendor ID 0xF1E0 is assigned to nobody in the public USB
// ID registry (Debian's usb.ids), so the suite never claims a real maker's
// device.  Every model shares the vendor ID; the product ID tells the models
// apart.  A product build replaces them with the identifiers the hardware
// actually reports.
#pragma once

#include <cstdint>

inline constexpr int VEM_USB_VENDOR_ID = 0xF1E0;
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
