/* Control codes and device interface classes of the Tarvik4v2 driver.
 *
 * Shared with client software: usable from C and C++, user mode and kernel
 * mode. Include <windows.h> or the kernel headers first; the interface
 * classes are instantiated where INITGUID is defined before <guiddef.h>. */
#ifndef TARVIK_IOCTL_H
#define TARVIK_IOCTL_H

/* Device type FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS:
 * 0x00220000 plus four times the function number. */
#define TARVIK_KEY_CTL_CODE(function) (0x00220000UL | ((unsigned long)(function) << 2))

#define IOCTL_KEY_GET_CONFIG_DESCRIPTOR TARVIK_KEY_CTL_CODE(0x000) /* 0x00220000 */
#define IOCTL_KEY_RESET_PORT TARVIK_KEY_CTL_CODE(0x001)            /* 0x00220004 */
#define IOCTL_KEY_RESET_PIPE TARVIK_KEY_CTL_CODE(0x002)            /* 0x00220008 */
#define IOCTL_KEY_VENDOR_WRITE TARVIK_KEY_CTL_CODE(0x003)          /* 0x0022000C */
#define IOCTL_KEY_VENDOR_READ TARVIK_KEY_CTL_CODE(0x004)           /* 0x00220010 */
#define IOCTL_KEY_READ_INTERRUPT TARVIK_KEY_CTL_CODE(0x008)        /* 0x00220020 */
#define IOCTL_KEY_GET_INFO_BLOCK TARVIK_KEY_CTL_CODE(0x009)        /* 0x00220024 */
#define IOCTL_KEY_TRANSACT TARVIK_KEY_CTL_CODE(0x00A)              /* 0x00220028 */
#define IOCTL_KEY_TRANSACT_RAW TARVIK_KEY_CTL_CODE(0x014)          /* 0x00220050 */
#define IOCTL_KEY_QUERY_INFO TARVIK_KEY_CTL_CODE(0x015)            /* 0x00220054 */
#define IOCTL_KEY_PROBE TARVIK_KEY_CTL_CODE(0x016)                 /* 0x00220058 */
#define IOCTL_KEY_NOTIFY_CHANGE TARVIK_KEY_CTL_CODE(0x017)         /* 0x0022005C */
#define IOCTL_KEY_TRANSACT_EX TARVIK_KEY_CTL_CODE(0x018)           /* 0x00220060 */

/* Device interface classes. A key of the primary family exposes PRIMARY and
 * AUX, a key of the secondary family SECONDARY. */
#ifdef DEFINE_GUID
DEFINE_GUID(GUID_KEY_INTERFACE_PRIMARY, 0xD6A1246A, 0x2040, 0x44B2, 0xA7, 0xBF, 0x20, 0xCC, 0x53,
            0xC4, 0x26, 0xF3);
DEFINE_GUID(GUID_KEY_INTERFACE_SECONDARY, 0x17596CE0, 0x33D7, 0x430E, 0x90, 0x69, 0x22, 0xD0, 0xA0,
            0x77, 0xE3, 0x06);
DEFINE_GUID(GUID_KEY_INTERFACE_AUX, 0x12571628, 0xBE3F, 0x4CF4, 0xB3, 0x8A, 0xB1, 0xF4, 0x07, 0x94,
            0xE6, 0xDF);
/* Target-device-change event reported once after IOCTL_KEY_NOTIFY_CHANGE.
 * Its data is 4 bytes, all 0: the one byte the driver sets and the padding
 * that ends the 40-byte notification. */
DEFINE_GUID(GUID_KEY_CHANGE_EVENT, 0x06AF8CD4, 0x70BB, 0x44DB, 0x97, 0x7A, 0x75, 0x32, 0xE2, 0xAF,
            0xD5, 0x6F);
#endif

#endif /* TARVIK_IOCTL_H */
