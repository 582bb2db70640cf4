/*
 * What crosses zendra's edge: shared by the driver, the property page and
 * the tests. Nothing here may be restated elsewhere.
 *
 * Include after the platform's headers (ntddk.h in the driver, windows.h
 * and winioctl.h in user mode), which supply CTL_CODE and DEFINE_GUID.
 */
#ifndef ZENDRA_PUBLIC_H
#define ZENDRA_PUBLIC_H

/*
 * The COM-port device interface class under which every scanner is
 * registered; the property page finds its device through it.
 */
DEFINE_GUID(GUID_ZENDRA_COMPORT_INTERFACE, 0x86E0D1E0L, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30,
            0x1F, 0x73);

/* Private control codes of the port-number dialogue (16-bit port number).
 * The device type is unsigned: CTL_CODE shifts it 16 places, past what a
 * signed int holds once the type is 0x8000 or more (undefined in C, where
 * the property page uses these codes). */
#define ZENDRA_PORT_DEVICE_TYPE 0xCF53u
#define IOCTL_POS_SET_PORT_NUMBER CTL_CODE(ZENDRA_PORT_DEVICE_TYPE, 0x800, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_POS_GET_PORT_NUMBER CTL_CODE(ZENDRA_PORT_DEVICE_TYPE, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Answers the ULONG 1: lets serial software probe for this driver. */
#define IOCTL_POS_QUERY_ONE CTL_CODE(0x1B, 0x100, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Registry: the port name in the device's hardware key, and the device map
 * key where serial ports are listed. */
#define ZENDRA_PORT_NAME_VALUE L"PortName"
#define ZENDRA_SERIALCOMM_KEY L"SERIALCOMM"

/* Kernel names of the device objects ("\Device\POS_" + instance number). */
#define ZENDRA_DEVICE_NAME_PREFIX L"\\Device\\POS_"

#endif /* ZENDRA_PUBLIC_H */
