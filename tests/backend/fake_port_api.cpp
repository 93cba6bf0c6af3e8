// fake_port_api.cpp - the port-access operations the backend calls, answered
// from FakePortApi.
#include "fake_port_api.h"

#include <algorithm>
#include <cstring>

FakePortApi& fakePortApi() {
    static FakePortApi api;
    return api;
}

namespace {
int opened(std::string what) {
    auto& f = fakePortApi();
    ++f.opens;
    f.lastOpen = std::move(what);
    return f.openResult;
}
}  // namespace

extern "C" {
int init_intf_type(unsigned long) { return VEM_SUCCESS; }
void init_LogLevel(int) {}
void init_LogFilename(const char*) {}
void init_LogCount(int) {}
int init_close(void) {
    ++fakePortApi().closes;
    return VEM_SUCCESS;
}
int init_usb(int nVid, int nPid, const char* lpszSerialNo) {
    return opened("usb " + std::to_string(nVid) + " " + std::to_string(nPid) + " " +
                  (lpszSerialNo ? lpszSerialNo : "-"));
}
int init_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                int nFlowControl) {
    return opened("serial " + std::string(lpszPort) + " " + std::to_string(nBaudrate) + " " +
                  std::to_string(nDataBit) + " " + std::to_string(nParity) + " " +
                  std::to_string(nStopBit) + " " + std::to_string(nFlowControl));
}
int init_parallel(const char*) { return VEM_NO_SUPPORT; }
int init_network(const char* lpszIp, int nTCP, int nUDP) {
    return opened("eth " + std::string(lpszIp) + " " + std::to_string(nTCP) + " " +
                  std::to_string(nUDP));
}
int init_file(const char*, int) { return VEM_NO_SUPPORT; }
int intf_reconnect(void) {
    ++fakePortApi().reconnects;
    return VEM_SUCCESS;
}
int intf_lock(unsigned long) {
    ++fakePortApi().lockCalls;
    return fakePortApi().lock();
}
int intf_unlock(void) {
    ++fakePortApi().unlockCalls;
    return VEM_SUCCESS;
}
int intf_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                   unsigned long) {
    auto& f = fakePortApi();
    *pdwSize = 0;
    const int rc = f.send(static_cast<std::size_t>(nSendSize), pdwSize);
    const auto n = std::min<unsigned long>(*pdwSize, static_cast<unsigned long>(nSendSize));
    f.printed.insert(f.printed.end(), pBySendData, pBySendData + n);
    return rc;
}
int intf_rcv_data(unsigned char* pByReceiveData, int nReceiveSize, unsigned long* pdwRecSize,
                  unsigned long) {
    auto& f = fakePortApi();
    const auto n = std::min<std::size_t>(f.rtcReply.size(), static_cast<std::size_t>(nReceiveSize));
    std::memcpy(pByReceiveData, f.rtcReply.data(), n);
    *pdwRecSize = n;
    return VEM_SUCCESS;
}
int intf_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                  unsigned long* pdwRead, unsigned long) {
    auto& f = fakePortApi();
    f.rtcSent.assign(pBySend, pBySend + nSend);
    const auto n = std::min<std::size_t>(f.rtcReply.size(), static_cast<std::size_t>(nReturn));
    std::memcpy(pByRet, f.rtcReply.data(), n);
    *pdwRead = n;
    return f.rtcResult;
}
int scan_usb_printer(int, int* pPidList, unsigned int nSize, unsigned int* pnCount) {
    auto& f = fakePortApi();
    for (unsigned i = 0; i < f.usbPids.size() && i < nSize; ++i) pPidList[i] = f.usbPids[i];
    *pnCount = static_cast<unsigned>(f.usbPids.size());
    return VEM_SUCCESS;
}
int scan_eth_snmp(const char*, PETH_DEV_INFO) { return VEM_NO_SUPPORT; }
int scan_eth_printer(PETH_DEV_INFO, unsigned int, unsigned int* pnCount) {
    *pnCount = 0;
    return VEM_SUCCESS;
}
int brdcst_eth_printer(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount, int) {
    auto& f = fakePortApi();
    unsigned i = 0;
    for (; i < f.ethDevices.size() && i < nSize; ++i) pEthDev[i] = f.ethDevices[i];
    *pnCount = i;
    return VEM_SUCCESS;
}
}
