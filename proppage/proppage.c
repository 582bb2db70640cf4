/*
 * zendraprops: the "Advanced" property page Device Manager shows for a
 * scanner that zendra serves as a serial port.
 *
 * Device Manager loads this library as the device's advanced property-page
 * provider and calls ZENDRAPropPageProvider. The page lists COM1 to COM64
 * with the number the driver reports selected; when the user applies
 * another one it hands it to the driver, rewrites the device's friendly
 * name and says in a message box whether that worked. The driver names the
 * port after the new number only when the device is added again, so the
 * success message asks the user to replug the scanner.
 *
 * The page reaches the driver only through the device's COM-port interface
 * and the two port-number control codes of public.h. It is user-mode C in
 * the driver kit's style: ANSI calls, LocalAlloc, no C runtime (sprintf and
 * the string routines come from ntdll).
 *
 * Everything the page knows about its device lives in its context, not in
 * the library's globals: Device Manager may show the pages of two devices
 * at once in one process, and applying on one page must act on that page's
 * device only.
 */
#include <windows.h>
#include <winioctl.h>
#include <commctrl.h>
#include <setupapi.h>
#include <string.h>

/* The page keeps private copies of the GUIDs it names, so a build that
 * links it beside the driver (the host build) defines nothing twice. */
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#include "public.h"
#include "resource.h"

/* ntdll's sprintf: the library links no C runtime. */
int WINAPIV sprintf(char *Buffer, const char *Format, ...);

#define PROPPAGE_PORT_COUNT 64
#define PROPPAGE_CAPTION "USB driver"
#define PROPPAGE_SUCCESS_TEXT                         \
    "The virtual COM port number has been changed.\n" \
    "Please unplug the scanner and plug it back in\n" \
    "for the change to take effect."
#define PROPPAGE_FAILURE_TEXT                           \
    "Unable to change the virtual COM port number.\n"   \
    "Make sure you have administrator privileges and\n" \
    "no other device is using the port number."
/* The friendly name; its byte count is worked out from the number of
 * digits (sizeof counts the terminator once). */
#define PROPPAGE_FRIENDLY_FORMAT "Corvane KX410 Scanner (COM%d)"
#define PROPPAGE_FRIENDLY_FIXED (sizeof("Corvane KX410 Scanner (COM)"))

/*
 * One per page: allocated by ZENDRAPropPageProvider, freed by
 * PropPageCallback at PSPCB_RELEASE; the page's lParam.
 */
typedef struct _PROPPAGE_CONTEXT {
    /* What the driver reported at WM_INITDIALOG; 0 until then, and 0 when
     * the query failed. */
    SHORT PortNumber;
    /* The device's COM-port interface, owned by the context. */
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DetailData;
    /* The provider request's own device information (Device Manager owns
     * it and keeps it while the page exists): where the friendly name
     * goes. */
    HDEVINFO CurrentDeviceInfoSet;
    PSP_DEVINFO_DATA CurrentDeviceInfoData;
    /* The interface path the page opens; empty when the path does not fit,
     * and then the page opens nothing. */
    CHAR CurrentDevicePath[128];
    /* The list's selection at WM_INITDIALOG: applying it again sends
     * nothing. */
    int InitialSelection;
} PROPPAGE_CONTEXT, *PPROPPAGE_CONTEXT;

/* This library's module handle, for the page's template. */
static HINSTANCE ModuleHandle;

BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
BOOL WINAPI ZENDRAPropPageProvider(PSP_PROPSHEETPAGE_REQUEST PropPageRequest,
                                   LPFNADDPROPSHEETPAGE AddPropSheetPageProc, LPARAM lParam);

/*
 * DllMain
 *
 * Called by the loader for every reason; keeps the module handle.
 */
BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved)
{
    UNREFERENCED_PARAMETER(fdwReason);
    UNREFERENCED_PARAMETER(lpvReserved);

    ModuleHandle = hinstDLL;
    return TRUE;
}

/*
 * PropPageGetInterfaceDetail
 *
 * Finds the first COM-port interface of the request's device and hands back
 * its detail (LocalAlloc'd, the caller's). FALSE, with nothing left
 * allocated and no list left open, on any failure.
 */
static BOOL PropPageGetInterfaceDetail(PSP_PROPSHEETPAGE_REQUEST PropPageRequest,
                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_A *DetailData)
{
    DWORD required = 0;
    DWORD size = 0;
    PSTR instanceId;
    HDEVINFO list;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
    BOOL ok;

    *DetailData = NULL;

    if (SetupDiGetDeviceInstanceIdA(PropPageRequest->DeviceInfoSet, PropPageRequest->DeviceInfoData, NULL, 0,
                                    &required) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) {
        return FALSE;
    }
    instanceId = (PSTR)LocalAlloc(LMEM_ZEROINIT, required);
    if (instanceId == NULL) {
        return FALSE;
    }
    if (!SetupDiGetDeviceInstanceIdA(PropPageRequest->DeviceInfoSet, PropPageRequest->DeviceInfoData, instanceId,
                                     required, NULL)) {
        LocalFree(instanceId);
        return FALSE;
    }

    /* The device's own interfaces only: the instance ID is the enumerator. */
    list = SetupDiGetClassDevsA(&GUID_ZENDRA_COMPORT_INTERFACE, instanceId, NULL, DIGCF_DEVICEINTERFACE);
    LocalFree(instanceId);
    if (list == INVALID_HANDLE_VALUE) {
        return FALSE;
    }

    ZeroMemory(&interfaceData, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(list, NULL, &GUID_ZENDRA_COMPORT_INTERFACE, 0, &interfaceData) ||
        SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, NULL, 0, &size, NULL) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        SetupDiDestroyDeviceInfoList(list);
        return FALSE;
    }
    detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)LocalAlloc(LMEM_ZEROINIT, size);
    if (detail == NULL) {
        SetupDiDestroyDeviceInfoList(list);
        return FALSE;
    }
    /* The fixed part: 5 bytes on 32-bit Windows, 8 on 64-bit. */
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ok = SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, detail, size, NULL, NULL);
    SetupDiDestroyDeviceInfoList(list);
    if (!ok) {
        LocalFree(detail);
        return FALSE;
    }
    *DetailData = detail;
    return TRUE;
}

/*
 * PropPageQueryPortNumber
 *
 * Keeps the device's interface path in the context and asks the driver for
 * the port number through it. The driver lets one handle at a time open
 * the port, so this fails while an application holds it.
 */
static BOOL PropPageQueryPortNumber(PPROPPAGE_CONTEXT Context)
{
    PCSTR path = Context->DetailData->DevicePath;
    HANDLE device;
    DWORD returned;
    BOOL ok;

    /* A path too long for the buffer is not cut short (a shortened path may
     * name another device): the page then opens nothing. */
    if (strlen(path) >= sizeof(Context->CurrentDevicePath)) {
        Context->CurrentDevicePath[0] = '\0';
        return FALSE;
    }
    sprintf(Context->CurrentDevicePath, "%s", path);

    device = CreateFileA(Context->CurrentDevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    ok = DeviceIoControl(device, IOCTL_POS_GET_PORT_NUMBER, NULL, 0, &Context->PortNumber,
                         sizeof(Context->PortNumber), &returned, NULL);
    CloseHandle(device);
    return ok;
}

/*
 * PropPageSetPortNumber
 *
 * Hands the new number to the driver (write access: the driver stores it)
 * and rewrites the device's friendly name to match. 1 when both worked,
 * else 0; when the driver took the number but the name could not be
 * written, the number has changed all the same.
 */
static int PropPageSetPortNumber(PPROPPAGE_CONTEXT Context, int Number)
{
    SHORT number = (SHORT)Number;
    CHAR name[64];
    HANDLE device;
    DWORD returned;
    DWORD length;
    BOOL ok;

    if (Context->CurrentDevicePath[0] == '\0') {
        return 0;
    }
    device = CreateFileA(Context->CurrentDevicePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    ok = DeviceIoControl(device, IOCTL_POS_SET_PORT_NUMBER, &number, sizeof(number), NULL, 0, &returned, NULL);
    CloseHandle(device);
    if (!ok) {
        return 0;
    }

    sprintf(name, PROPPAGE_FRIENDLY_FORMAT, Number);
    length = (DWORD)PROPPAGE_FRIENDLY_FIXED + (Number < 10 ? 1 : 2);
    return SetupDiSetDeviceRegistryPropertyA(Context->CurrentDeviceInfoSet, Context->CurrentDeviceInfoData,
                                             SPDRP_FRIENDLYNAME, (const BYTE *)name, length)
               ? 1
               : 0;
}

/*
 * PropPageInitDialog
 *
 * WM_INITDIALOG: lParam is the sheet's copy of the page, whose lParam is
 * the context. Fills the list and selects the driver's number; a failed
 * query, or a number outside the list, shows COM1.
 */
static INT_PTR PropPageInitDialog(HWND hwnd, WPARAM wParam, LPARAM lParam)
{
    PPROPPAGE_CONTEXT context = (PPROPPAGE_CONTEXT)((LPPROPSHEETPAGEA)lParam)->lParam;
    CHAR text[16];
    int n;
    int index;

    UNREFERENCED_PARAMETER(wParam);

    PropPageQueryPortNumber(context);
    SetWindowLongPtrA(hwnd, DWLP_USER, (LONG_PTR)context);

    for (n = 1; n <= PROPPAGE_PORT_COUNT; n++) {
        sprintf(text, "COM%d", n);
        SendDlgItemMessageA(hwnd, IDC_PORT_LIST, CB_ADDSTRING, 0, (LPARAM)text);
    }

    index = 0;
    if (context->PortNumber > 0 && context->PortNumber <= PROPPAGE_PORT_COUNT) {
        index = context->PortNumber - 1;
    }
    context->InitialSelection = index;
    SendDlgItemMessageA(hwnd, IDC_PORT_LIST, CB_SETCURSEL, (WPARAM)index, 0);
    return TRUE;
}

/*
 * PropPageApply
 *
 * PSN_APPLY: sends the selected number unless it is the one the page
 * opened with, and reports the outcome in a message box. The result stays
 * PSNRET_NOERROR whatever happened: the sheet closes or stays as the user
 * asked.
 */
static INT_PTR PropPageApply(HWND hwnd)
{
    PPROPPAGE_CONTEXT context = (PPROPPAGE_CONTEXT)GetWindowLongPtrA(hwnd, DWLP_USER);
    int selection;
    int result;

    selection = (int)SendDlgItemMessageA(hwnd, IDC_PORT_LIST, CB_GETCURSEL, 0, 0);
    if (context == NULL || selection == CB_ERR || selection == context->InitialSelection) {
        return FALSE;
    }
    result = PropPageSetPortNumber(context, selection + 1);
    MessageBoxA(hwnd, result == 1 ? PROPPAGE_SUCCESS_TEXT : PROPPAGE_FAILURE_TEXT, PROPPAGE_CAPTION,
                MB_OK | (result == 1 ? MB_ICONEXCLAMATION : MB_ICONHAND));
    return result;
}

/*
 * PropPageDlgProc
 *
 * The page's dialog procedure. A new choice in the list tells the sheet
 * the page changed, which enables its Apply button.
 */
static INT_PTR CALLBACK PropPageDlgProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_INITDIALOG:
        return PropPageInitDialog(hwnd, wParam, lParam);
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_PORT_LIST && HIWORD(wParam) == CBN_SELCHANGE) {
            PropSheet_Changed(GetParent(hwnd), hwnd);
        }
        return FALSE;
    case WM_NOTIFY:
        if (((LPNMHDR)lParam)->code == PSN_APPLY) {
            return PropPageApply(hwnd);
        }
        return FALSE;
    default:
        return FALSE;
    }
}

/*
 * PropPageCallback
 *
 * The page's life: at PSPCB_RELEASE (the sheet destroys the page) the
 * context and its interface detail are freed; every other call lets the
 * page be created.
 */
static UINT CALLBACK PropPageCallback(HWND hwnd, UINT uMsg, LPPROPSHEETPAGEA ppsp)
{
    PPROPPAGE_CONTEXT context;

    UNREFERENCED_PARAMETER(hwnd);

    if (uMsg != PSPCB_RELEASE) {
        return 1;
    }
    context = (PPROPPAGE_CONTEXT)ppsp->lParam;
    if (context != NULL) {
        if (context->DetailData != NULL) {
            LocalFree(context->DetailData);
        }
        LocalFree(context);
    }
    return 0;
}

/*
 * ZENDRAPropPageProvider
 *
 * Device Manager's request for the device's advanced pages: adds the
 * "Advanced" page. FALSE, with nothing left allocated, for any other
 * request and on every failure.
 */
BOOL WINAPI ZENDRAPropPageProvider(PSP_PROPSHEETPAGE_REQUEST PropPageRequest,
                                   LPFNADDPROPSHEETPAGE AddPropSheetPageProc, LPARAM lParam)
{
    PPROPPAGE_CONTEXT context;
    PROPSHEETPAGEA page;
    HPROPSHEETPAGE handle;

    if (PropPageRequest == NULL || PropPageRequest->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES ||
        PropPageRequest->DeviceInfoSet == NULL || PropPageRequest->DeviceInfoData == NULL) {
        return FALSE;
    }

    context = (PPROPPAGE_CONTEXT)LocalAlloc(LMEM_ZEROINIT, sizeof(PROPPAGE_CONTEXT));
    if (context == NULL) {
        return FALSE;
    }
    context->CurrentDeviceInfoSet = PropPageRequest->DeviceInfoSet;
    context->CurrentDeviceInfoData = PropPageRequest->DeviceInfoData;
    if (!PropPageGetInterfaceDetail(PropPageRequest, &context->DetailData)) {
        LocalFree(context);
        return FALSE;
    }

    /* Version 3 of the structure: the members up to hActCtx. */
    ZeroMemory(&page, sizeof(page));
    page.dwSize = sizeof(PROPSHEETPAGEA_V3);
    page.dwFlags = PSP_USETITLE | PSP_HASHELP | PSP_USECALLBACK;
    page.hInstance = ModuleHandle;
    page.pszTemplate = MAKEINTRESOURCEA(IDD_ADVANCED);
    page.pszTitle = "Advanced";
    page.pfnDlgProc = PropPageDlgProc;
    page.lParam = (LPARAM)context;
    page.pfnCallback = PropPageCallback;

    handle = CreatePropertySheetPageA(&page);
    if (handle == NULL) {
        LocalFree(context->DetailData);
        LocalFree(context);
        return FALSE;
    }
    if (AddPropSheetPageProc(handle, lParam)) {
        return TRUE;
    }
    /* Not added: destroying the page releases the context through
     * PropPageCallback. */
    DestroyPropertySheetPage(handle);
    return FALSE;
}
