/*
 * zendra-wine-props: the scanner's "Advanced" page under Wine, opened the
 * way Device Manager opens it, then a renumbering of the port through it.
 *
 *   zendra-wine-props INSTANCE_ID OLD_NUMBER NEW_NUMBER SHOT.ppm
 *
 * 1. The provider named by the device's EnumPropPages32 value (written by
 *    zendra.inf) is loaded and asked for the advanced pages; the page it
 *    adds goes on a property sheet.
 * 2. Once the sheet has painted, the sheet window is copied into SHOT.ppm.
 * 3. The user's part: COM<NEW_NUMBER> picked in the list, Apply pressed,
 *    the message box that follows answered.
 * 4. The stored PortName and friendly name are checked, the scanner is
 *    pulled out and plugged in again on the test bus, and the port must
 *    then be COM<NEW_NUMBER> (COM<OLD_NUMBER> gone), answering the new
 *    number to the GET control code.
 *
 * One line per check; the exit status is the number of failed checks.
 */
#include <windows.h>
#include <winioctl.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bus/zbus_control.h"
#include "public.h"

/* The page's list (proppage/resource.h). */
#define PAGE_PORT_LIST 1003
/* How many times the program lets a removal or an arrival run its course
 * (each a yield) before it gives up on it. */
#define ARRIVAL_TRIES 2000

static int Passed;
static int Failed;

static void Report(int Ok, const char *Name, const char *Format, ...)
{
    va_list args;

    printf("%s %s: ", Ok ? "ok  " : "FAIL", Name);
    va_start(args, Format);
    vprintf(Format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
    if (Ok) {
        Passed++;
    } else {
        Failed++;
    }
}

/* ------------------------------------------------------------------------ */
/* The pages the provider adds, and the message box it shows.               */

static HPROPSHEETPAGE Pages[4];
static UINT PageCount;

static BOOL CALLBACK AddPage(HPROPSHEETPAGE Page, LPARAM Param)
{
    (void)Param;
    if (PageCount == sizeof(Pages) / sizeof(Pages[0])) {
        return FALSE;
    }
    Pages[PageCount++] = Page;
    return TRUE;
}

static HHOOK Hook;
static HWND Sheet;
static char BoxCaption[64];
static char BoxText[256];

/* A message box coming up (any window activated but the sheet and its
 * page): its caption and text are noted and it is answered with OK, as the
 * user would. */
static LRESULT CALLBACK WatchBoxes(int Code, WPARAM WParam, LPARAM LParam)
{
    if (Code == HCBT_ACTIVATE && (HWND)WParam != Sheet) {
        HWND box = (HWND)WParam;
        HWND child = NULL;
        char className[16];

        GetWindowTextA(box, BoxCaption, sizeof(BoxCaption));
        /* The text is the box's static control with ID 0xFFFF. */
        while ((child = FindWindowExA(box, child, NULL, NULL)) != NULL) {
            GetClassNameA(child, className, sizeof(className));
            if (strcmp(className, "Static") == 0 && GetDlgCtrlID(child) == 0xFFFF) {
                GetWindowTextA(child, BoxText, sizeof(BoxText));
            }
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(Hook, Code, WParam, LParam);
}

/* Dispatches what is queued for this thread's windows. */
static void Pump(void)
{
    MSG msg;

    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (Sheet == NULL || !PropSheet_IsDialogMessage(Sheet, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

/* ------------------------------------------------------------------------ */
/* The picture                                                              */

/* Copies Window's pixels, as on the screen, into a binary PPM file. */
static int SaveWindow(HWND Window, const char *Path)
{
    RECT rect;
    BITMAPINFO info;
    HDC screen, memory;
    HBITMAP bitmap;
    unsigned char *pixels;
    FILE *file;
    int width, height, x, y, ok;
    POINT origin = {0, 0};

    /* The client area: without a window manager nobody draws the frame. */
    GetClientRect(Window, &rect);
    ClientToScreen(Window, &origin);
    OffsetRect(&rect, origin.x, origin.y);
    width = rect.right - rect.left;
    height = rect.bottom - rect.top;
    screen = GetDC(NULL);
    memory = CreateCompatibleDC(screen);
    memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; /* top-down */
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, (void **)&pixels, NULL, 0);
    ok = bitmap != NULL;
    if (ok) {
        SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
    }
    file = ok ? fopen(Path, "wb") : NULL;
    if (file != NULL) {
        fprintf(file, "P6\n%d %d\n255\n", width, height);
        for (y = 0; y < height; y++) {
            for (x = 0; x < width; x++) {
                const unsigned char *bgra = pixels + 4 * (y * width + x);
                fputc(bgra[2], file);
                fputc(bgra[1], file);
                fputc(bgra[0], file);
            }
        }
        ok = fclose(file) == 0;
    } else {
        ok = 0;
    }
    if (bitmap != NULL) {
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return ok ? width * 10000 + height : 0;
}

/* ------------------------------------------------------------------------ */
/* The device                                                               */

static int ReadDeviceValue(HDEVINFO Set, PSP_DEVINFO_DATA Device, DWORD Which, const char *Name, char *Value,
                           DWORD Size)
{
    HKEY key = SetupDiOpenDevRegKey(Set, Device, DICS_FLAG_GLOBAL, 0, Which, KEY_READ);
    DWORD type = 0;
    LONG error;

    memset(Value, 0, Size);
    if (key == INVALID_HANDLE_VALUE) {
        return 0;
    }
    Size--;
    error = RegQueryValueExA(key, Name, NULL, &type, (BYTE *)Value, &Size);
    RegCloseKey(key);
    return error == ERROR_SUCCESS;
}

/* Opens \\.\COM<Number>; the handle, or INVALID_HANDLE_VALUE with the
 * error in *Error. */
static HANDLE OpenPort(int Number, DWORD *Error)
{
    char path[32];
    HANDLE port;

    snprintf(path, sizeof(path), "\\\\.\\COM%d", Number);
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    *Error = port == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return port;
}

/* Whether COM<Number> opens and is started: it answers the GET code. The
 * link appears when the driver adds the device, before it is started. */
static int PortServes(int Number)
{
    DWORD error = 0;
    DWORD returned = 0;
    SHORT number = -1;
    HANDLE port = OpenPort(Number, &error);
    int serves;

    if (port == INVALID_HANDLE_VALUE) {
        return 0;
    }
    serves = DeviceIoControl(port, IOCTL_POS_GET_PORT_NUMBER, NULL, 0, &number, sizeof(number), &returned, NULL);
    CloseHandle(port);
    return serves;
}

/* Sends one of the bus's plug codes and lets the removal or the arrival
 * happen: until COM<Number> serves (Serves) or no longer opens. */
static int Replug(HANDLE Bus, DWORD Code, int Number, int Serves)
{
    DWORD returned = 0;
    DWORD error = 0;
    HANDLE port;
    int i;

    if (!DeviceIoControl(Bus, Code, NULL, 0, NULL, 0, &returned, NULL)) {
        return 0;
    }
    for (i = 0; i < ARRIVAL_TRIES; i++) {
        if (Serves && PortServes(Number)) {
            return 1;
        }
        if (!Serves) {
            port = OpenPort(Number, &error);
            if (port == INVALID_HANDLE_VALUE) {
                return 1;
            }
            CloseHandle(port);
        }
        SwitchToThread();
    }
    return 0;
}

int main(int argc, char **argv)
{
    static const GUID portsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    SP_PROPSHEETPAGE_REQUEST request;
    PROPSHEETHEADERA header;
    SP_DEVINFO_DATA device;
    INITCOMMONCONTROLSEX controls;
    char provider[128], portName[32], friendly[128], expected[128], *comma;
    HMODULE library;
    BOOL(WINAPI * enumPages)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);
    HDEVINFO set;
    HWND page, list;
    HANDLE bus, port;
    DWORD error, returned;
    SHORT number;
    int oldNumber, newNumber, size, i, count, selection;

    if (argc != 5) {
        printf("usage: zendra-wine-props INSTANCE_ID OLD_NUMBER NEW_NUMBER SHOT.ppm\n");
        return 100;
    }
    oldNumber = atoi(argv[2]);
    newNumber = atoi(argv[3]);
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    /* 1. The device and its provider, as Device Manager finds them. */
    set = SetupDiCreateDeviceInfoList(&portsClass, NULL);
    device.cbSize = sizeof(device);
    if (set == INVALID_HANDLE_VALUE || !SetupDiOpenDeviceInfoA(set, argv[1], NULL, 0, &device)) {
        Report(0, "the scanner's device", "%s not found, error %lu", argv[1], GetLastError());
        return 100;
    }
    Report(ReadDeviceValue(set, &device, DIREG_DRV, "EnumPropPages32", provider, sizeof(provider)) &&
               strcmp(provider, "zendraprops.dll,ZENDRAPropPageProvider") == 0,
           "EnumPropPages32 from the INF", "\"%s\"", provider);
    comma = strchr(provider, ',');
    if (comma == NULL) {
        return 100;
    }
    *comma = '\0';
    library = LoadLibraryA(provider);
    enumPages = library != NULL ? (void *)GetProcAddress(library, comma + 1) : NULL;
    Report(enumPages != NULL, "the provider loads from the system folder", "%s!%s", provider, comma + 1);
    if (enumPages == NULL) {
        return 100;
    }
    request.cbSize = sizeof(request);
    request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
    request.DeviceInfoSet = set;
    request.DeviceInfoData = &device;
    i = enumPages(&request, AddPage, 0);
    Report(i && PageCount == 1, "the provider adds one page", "returns %d, %u pages", i, PageCount);
    if (PageCount != 1) {
        return 100;
    }

    memset(&header, 0, sizeof(header));
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS | PSH_PROPTITLE;
    header.pszCaption = "Corvane KX410 Scanner";
    header.nPages = PageCount;
    header.phpage = Pages;
    Sheet = (HWND)PropertySheetA(&header);
    Hook = SetWindowsHookExA(WH_CBT, WatchBoxes, NULL, GetCurrentThreadId());
    Pump();
    page = PropSheet_GetCurrentPageHwnd(Sheet);
    list = GetDlgItem(page, PAGE_PORT_LIST);
    count = (int)SendMessageA(list, CB_GETCOUNT, 0, 0);
    selection = (int)SendMessageA(list, CB_GETCURSEL, 0, 0);
    Report(Sheet != NULL && count == 64 && selection == oldNumber - 1, "the page lists COM1 to COM64",
           "%d entries, COM%d selected", count, selection + 1);

    /* 2. The picture, once everything has painted. */
    RedrawWindow(Sheet, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Pump();
    size = SaveWindow(Sheet, argv[4]);
    Report(size != 0, "the sheet's picture", "%s, %dx%d", argv[4], size / 10000, size % 10000);

    /* 3. The user picks the new port and presses Apply. */
    SendMessageA(list, CB_SETCURSEL, (WPARAM)(newNumber - 1), 0);
    SendMessageA(page, WM_COMMAND, MAKEWPARAM(PAGE_PORT_LIST, CBN_SELCHANGE), (LPARAM)list);
    Report(IsWindowEnabled(GetDlgItem(Sheet, 0x3021)), "the choice enables Apply", "");
    PropSheet_Apply(Sheet);
    Pump();
    Report(strcmp(BoxCaption, "USB driver") == 0 && strstr(BoxText, "has been changed") != NULL,
           "Apply reports the change", "\"%s\": \"%s\"", BoxCaption, BoxText);
    DestroyWindow(Sheet);
    Sheet = NULL;
    UnhookWindowsHookEx(Hook);
    Pump();

    /* 4. What the page stored, then the new name after a replug. */
    ReadDeviceValue(set, &device, DIREG_DEV, "PortName", portName, sizeof(portName));
    snprintf(expected, sizeof(expected), "COM%d", newNumber);
    Report(strcmp(portName, expected) == 0, "PortName stored", "\"%s\"", portName);
    memset(friendly, 0, sizeof(friendly));
    SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, NULL, (BYTE *)friendly,
                                      sizeof(friendly) - 1, NULL);
    snprintf(expected, sizeof(expected), "Corvane KX410 Scanner (COM%d)", newNumber);
    Report(strcmp(friendly, expected) == 0, "friendly name", "\"%s\"", friendly);
    SetupDiDestroyDeviceInfoList(set);

    port = OpenPort(oldNumber, &error);
    Report(port != INVALID_HANDLE_VALUE, "the port keeps its name until replugged", "COM%d, error %lu", oldNumber,
           error);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }

    bus = CreateFileA(ZBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    Report(bus != INVALID_HANDLE_VALUE && Replug(bus, IOCTL_ZBUS_UNPLUG, oldNumber, 0), "scanner unplugged",
           "COM%d gone", oldNumber);
    Report(bus != INVALID_HANDLE_VALUE && Replug(bus, IOCTL_ZBUS_PLUG, newNumber, 1), "scanner plugged in again",
           "COM%d there", newNumber);
    if (bus != INVALID_HANDLE_VALUE) {
        CloseHandle(bus);
    }
    port = OpenPort(oldNumber, &error);
    Report(port == INVALID_HANDLE_VALUE, "the old name no longer opens", "COM%d, error %lu", oldNumber, error);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    port = OpenPort(newNumber, &error);
    number = -1;
    returned = 0;
    i = port != INVALID_HANDLE_VALUE && DeviceIoControl(port, IOCTL_POS_GET_PORT_NUMBER, NULL, 0, &number,
                                                         sizeof(number), &returned, NULL);
    error = i ? 0 : GetLastError();
    Report(i && number == newNumber && returned == 2, "GET_PORT_NUMBER on the new port",
           "COM%d answers %d, error %lu", newNumber, number, error);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    printf("%d passed, %d failed\n", Passed, Failed);
    return Failed > 100 ? 100 : Failed;
}
