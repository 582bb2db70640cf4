/*
 * zendra-wine-install: puts the test bus and the driver package into a
 * Wine prefix, the way an administrator would on Windows.
 *
 *   zendra-wine-install bus DIR        (DIR holds zbus.sys)
 *   zendra-wine-install package DIR    (DIR holds the driver package)
 *   zendra-wine-install port INSTANCE_ID COMn
 *
 * 1. The test bus (zbus.sys) becomes a kernel service, started on demand,
 *    and a ROOT-enumerated device (ROOT\ZENDRATESTBUS\0000) names it as its
 *    function driver: the Plug and Play manager loads the bus when it next
 *    enumerates the root.
 * 2. The driver package (zendra.inf with zendra.sys and zendraprops.dll)
 *    goes into the system's INF folder as an OEM INF, as "pnputil
 *    /add-driver" puts it there: when the bus reports the scanner, device
 *    installation finds the INF by the scanner's hardware ID.
 *
 * Prints one line per step; exits non-zero at the first that fails.
 */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

static const GUID SystemClassGuid = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

static const GUID PortsClassGuid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

static int Fail(const char *what)
{
    printf("FAIL %s: error %lu\n", what, GetLastError());
    return 1;
}

/* Copies File from Directory into the system's drivers folder. */
static int CopyToDrivers(const char *Directory, const char *File, char *Target, size_t TargetSize)
{
    char source[MAX_PATH];
    char system[MAX_PATH];

    GetSystemDirectoryA(system, sizeof(system));
    snprintf(source, sizeof(source), "%s\\%s", Directory, File);
    snprintf(Target, TargetSize, "%s\\drivers\\%s", system, File);
    return CopyFileA(source, Target, FALSE) ? 0 : Fail("copy to the drivers folder");
}

static int InstallBusService(const char *ImagePath)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;

    if (manager == NULL) {
        return Fail("OpenSCManager");
    }
    service = CreateServiceA(manager, "zbus", "zendra test bus", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, ImagePath, NULL, NULL, NULL, NULL, NULL);
    if (service == NULL && GetLastError() != ERROR_SERVICE_EXISTS) {
        CloseServiceHandle(manager);
        return Fail("CreateService zbus");
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    printf("service zbus: %s\n", ImagePath);
    return 0;
}

static int CreateBusDevice(void)
{
    static const char hardwareId[] = "ROOT\\ZENDRATESTBUS\0";
    static const char service[] = "zbus";
    SP_DEVINFO_DATA device;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&SystemClassGuid, NULL);

    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoA(set, "ROOT\\ZENDRATESTBUS\\0000", &SystemClassGuid, NULL, NULL, 0, &device)) {
        return Fail("SetupDiCreateDeviceInfo ROOT\\ZENDRATESTBUS\\0000");
    }
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)hardwareId,
                                           sizeof(hardwareId)) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE, (const BYTE *)service, sizeof(service))) {
        return Fail("SetupDiSetDeviceRegistryProperty");
    }
    if (!SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL)) {
        return Fail("SetupDiRegisterDeviceInfo");
    }
    SetupDiDestroyDeviceInfoList(set);
    printf("device ROOT\\ZENDRATESTBUS\\0000: service zbus\n");
    return 0;
}

static int AddDriverPackage(const char *PackageDirectory)
{
    char inf[MAX_PATH];
    char installed[MAX_PATH];

    snprintf(inf, sizeof(inf), "%s\\zendra.inf", PackageDirectory);
    if (!SetupCopyOEMInfA(inf, NULL, SPOST_PATH, 0, installed, sizeof(installed), NULL, NULL)) {
        return Fail("SetupCopyOEMInf zendra.inf");
    }
    printf("driver package: %s\n", installed);
    return 0;
}

/*
 * The scanner's device node, made ahead of its first arrival, with the
 * PortName the Ports class installer gives a new port on Windows (in the
 * device's hardware key, "Device Parameters"). Wine runs no class installer
 * for the Ports class, and zendra refuses a device that has no PortName.
 */
static int SetPortName(const char *InstanceId, const char *PortName)
{
    SP_DEVINFO_DATA device;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&PortsClassGuid, NULL);
    HKEY key;
    LONG error;

    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoA(set, InstanceId, &PortsClassGuid, NULL, NULL, 0, &device) &&
        !SetupDiOpenDeviceInfoA(set, InstanceId, NULL, 0, &device)) {
        return Fail("SetupDiCreateDeviceInfo (scanner)");
    }
    if (!SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL) && GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
        return Fail("SetupDiRegisterDeviceInfo (scanner)");
    }
    key = SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
    if (key == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDevRegKey (scanner)");
    }
    error = RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)PortName, (DWORD)strlen(PortName) + 1);
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
    if (error != ERROR_SUCCESS) {
        SetLastError((DWORD)error);
        return Fail("RegSetValueEx PortName");
    }
    printf("device %s: PortName %s\n", InstanceId, PortName);
    return 0;
}

int main(int argc, char **argv)
{
    char image[MAX_PATH];

    if (argc == 3 && strcmp(argv[1], "bus") == 0) {
        return CopyToDrivers(argv[2], "zbus.sys", image, sizeof(image)) || InstallBusService(image) ||
               CreateBusDevice();
    }
    if (argc == 3 && strcmp(argv[1], "package") == 0) {
        return AddDriverPackage(argv[2]);
    }
    if (argc == 4 && strcmp(argv[1], "port") == 0) {
        return SetPortName(argv[2], argv[3]);
    }
    printf("usage: zendra-wine-install bus DIR | package DIR | port INSTANCE_ID COMn\n");
    return 2;
}
