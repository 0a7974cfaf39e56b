/* usbdi.h - the USB driver interface for client drivers. */
#pragma once
#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>
