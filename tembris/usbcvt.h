/*
 * usbcvt.h - the private device-control interface of tembris, the converter's
 * USB function driver.
 *
 * Included by tembris and by the drivers and programs that talk to it; it
 * depends on no other header.  All requests arrive as IRP_MJ_DEVICE_CONTROL,
 * METHOD_BUFFERED, FILE_ANY_ACCESS, device type 0x23.  The pipe requests act
 * on the pipe that the request's file object has open ("PIPE00" ...).
 */
#ifndef USBCVT_H
#define USBCVT_H

#define FILE_DEVICE_USBCVT 0x00000023

/* CTL_CODE(FILE_DEVICE_USBCVT, function, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define USBCVT_CTL_CODE(function) ((FILE_DEVICE_USBCVT << 16) | (0 << 14) | ((function) << 2) | 0)

#define IOCTL_USBCVT_GET_CONFIG_DESCRIPTOR USBCVT_CTL_CODE(0) /* 0x230000 */
#define IOCTL_USBCVT_RESET_DEVICE USBCVT_CTL_CODE(1)          /* 0x230004 */
#define IOCTL_USBCVT_RESET_PIPE USBCVT_CTL_CODE(2)            /* 0x230008 */
#define IOCTL_USBCVT_GET_PIPE_INFO USBCVT_CTL_CODE(3)         /* 0x23000C */
#define IOCTL_USBCVT_START_STATISTICS USBCVT_CTL_CODE(4)      /* 0x230010 */
#define IOCTL_USBCVT_STOP_STATISTICS USBCVT_CTL_CODE(5)       /* 0x230014 */
#define IOCTL_USBCVT_GET_STATISTICS USBCVT_CTL_CODE(6)        /* 0x230018 */
#define IOCTL_USBCVT_VENDOR_REQUEST USBCVT_CTL_CODE(7)        /* 0x23001C */

/* The vendor request that carries converter commands: bmRequestType 0x40
 * (host to device, vendor, device), bRequest 0x0B, wValue 0, wIndex 0, the
 * input bytes as the data stage. */
#define USBCVT_VENDOR_COMMAND_REQUEST 0x0B

/* Output of IOCTL_USBCVT_GET_PIPE_INFO: the pipe's USBD pipe information as
 * a 20-byte little-endian record. */
#define USBCVT_PIPE_RECORD_SIZE 20
#define USBCVT_PIPE_RECORD_MAX_PACKET_SIZE 0     /* 2 bytes */
#define USBCVT_PIPE_RECORD_ENDPOINT_ADDRESS 2    /* 1 byte, bit 7 set for IN */
#define USBCVT_PIPE_RECORD_INTERVAL 3            /* 1 byte */
#define USBCVT_PIPE_RECORD_PIPE_TYPE 4           /* 4 bytes: 0 control, 1 isoch, 2 bulk, 3 interrupt */
#define USBCVT_PIPE_RECORD_PIPE_HANDLE 8         /* 4 bytes, opaque */
#define USBCVT_PIPE_RECORD_MAX_TRANSFER_SIZE 12  /* 4 bytes */
#define USBCVT_PIPE_RECORD_PIPE_FLAGS 16         /* 4 bytes: 1 while open through a file object */

/* Output of IOCTL_USBCVT_GET_STATISTICS: an 8-byte little-endian record. */
#define USBCVT_STATISTICS_RECORD_SIZE 8
#define USBCVT_STATISTICS_BYTES_PER_SECOND 0     /* 4 bytes */
#define USBCVT_STATISTICS_CYCLES_PER_BYTE 4      /* 4 bytes */

#endif /* USBCVT_H */
