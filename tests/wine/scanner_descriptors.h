/*
 * The scanner's descriptors as its ROM holds them, for the Wine test bus
 * (tests/wine/bus), which plays the scanner under Wine. They are the bytes
 * the emulation's standard virtual scanner (platform/usb/scanner_model.cpp)
 * builds; UsbDescriptor_test holds the two to each other, so the driver
 * meets the same device in both worlds. Plain C: the bus is a C driver.
 */
#ifndef ZENDRA_WINE_SCANNER_DESCRIPTORS_H
#define ZENDRA_WINE_SCANNER_DESCRIPTORS_H

/* USB 1.1, class per interface, 8-byte default pipe, vendor 0x1A2B, product
 * 0x0C01, release 1.00, strings 1 to 3, two configurations. */
static const unsigned char ZendraScannerDeviceDescriptor[18] = {
    18, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 8, 0x2B, 0x1A, 0x01, 0x0C, 0x00, 0x01, 1, 2, 3, 2};

/* Index 0, value 1: the keyboard mode (HID boot keyboard, interrupt IN 0x81). */
static const unsigned char ZendraScannerKeyboardConfiguration[34] = {
    9, 0x02, 34, 0, 1, 1, 0, 0xA0, 50,                  /* configuration */
    9, 0x04, 0, 0, 1, 0x03, 0x01, 0x01, 0,              /* interface 0 */
    9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x3F, 0x00,  /* HID */
    7, 0x05, 0x81, 0x03, 8, 0, 10};                     /* interrupt IN */

/* Index 1, value 2: the serial mode. A class-specific descriptor before and
 * one after the vendor-specific interface; bulk OUT 0x02, then bulk IN 0x81,
 * 64-byte packets. */
static const unsigned char ZendraScannerSerialConfiguration[41] = {
    9, 0x02, 41, 0, 1, 2, 0, 0x80, 50,     /* configuration */
    5, 0x24, 0x00, 0x10, 0x01,             /* class-specific */
    9, 0x04, 0, 0, 2, 0xFF, 0x00, 0x00, 0, /* interface 0 */
    4, 0x24, 0x02, 0x02,                   /* class-specific */
    7, 0x05, 0x02, 0x02, 64, 0, 0,         /* bulk OUT */
    7, 0x05, 0x81, 0x02, 64, 0, 0};        /* bulk IN */

#endif /* ZENDRA_WINE_SCANNER_DESCRIPTORS_H */
