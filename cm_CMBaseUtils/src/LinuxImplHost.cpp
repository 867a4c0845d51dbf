// Host surroundings of CLinuxImpl: hypervisor detection, the usb_storage module and the BRIX library.
// Not implemented yet: each operation reports "not available" (false, null, failure status)
// until the host support lands.
#include "CLinuxImpl.h"

int CLinuxImpl::nBRIXInstallRefCount = 0;
bool CLinuxImpl::bBRIXAlreadyInstalled = false;
bool CLinuxImpl::bUSBDriverNotLoaded = false;
bool CLinuxImpl::bUSBDriverLoadedByZEP = false;
bool CLinuxImpl::bUSBBlacklistCheckDone = false;

bool CLinuxImpl::isESXSystem() { return false; }
bool CLinuxImpl::isESXiSystem() { return false; }
bool CLinuxImpl::isVELDBRIXInstalled() { return false; }
bool CLinuxImpl::isBRIXInstalled() { return false; }
int CLinuxImpl::InstallBrix() { return 1; }
bool CLinuxImpl::UninstallBrix() { return false; }
void* CLinuxImpl::LoadBrixLibrary(std::string) { return nullptr; }
bool CLinuxImpl::isUSBblacklisted() { return false; }
void CLinuxImpl::unloadUSB() {}
