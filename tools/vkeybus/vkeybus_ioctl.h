/* The control interface of the virtual key bus: plug and unplug keys of a
 * given identity, plan faults on their wire. Shared by the bus driver and
 * its clients (keyctl). */
#ifndef VKEYBUS_IOCTL_H
#define VKEYBUS_IOCTL_H

#define VKEYBUS_CTL_CODE(function) (0x8000E000UL | ((unsigned long)(function) << 2))
#define IOCTL_VKEYBUS_PLUG VKEYBUS_CTL_CODE(0x801)   /* in: VkeyPlug; out: ULONG port */
#define IOCTL_VKEYBUS_UNPLUG VKEYBUS_CTL_CODE(0x802) /* in: ULONG port */
#define IOCTL_VKEYBUS_FAULT VKEYBUS_CTL_CODE(0x803)  /* in: VkeyFault */

#ifdef DEFINE_GUID
/* {6C0F1B6E-8E1A-4C5B-9D3E-2F7A1B4C5D60} */
DEFINE_GUID(GUID_VKEYBUS_CONTROL, 0x6C0F1B6E, 0x8E1A, 0x4C5B, 0x9D, 0x3E, 0x2F, 0x7A, 0x1B, 0x4C,
            0x5D, 0x60);
#endif

#pragma pack(push, 1)
typedef struct VkeyPlug {
  unsigned short VendorId;
  unsigned short ProductId;
  unsigned short Revision;
  unsigned char Interfaces;
  unsigned char Pipes;
  unsigned short Padding;
  unsigned short ShortReads;
  unsigned short AnnounceExtra;
  unsigned long Serial;
  unsigned long Secret;
  unsigned char InfoLength;
  unsigned char Info[64];
  /* The vendor and product in the key's PnP IDs; 0 for those of its device
   * descriptor. Other values make a key that PnP takes for another. */
  unsigned short IdVendor;
  unsigned short IdProduct;
} VkeyPlug;

/* Kinds: 0 vendor OUT, 1 vendor IN, 2 interrupt, 3 port reset. */
typedef struct VkeyFault {
  unsigned long Port;
  unsigned long Kind;
  unsigned long Count;
  long Status;
} VkeyFault;
#pragma pack(pop)

#endif
