// usbd.cpp - the USBD library routines: descriptor parsing and building
// select-configuration requests.
//
// Descriptors come from the device and may lie.  The walks here trust nothing
// but wTotalLength (or the caller's total length): a descriptor with a length
// below two bytes, or one that would run past the end, ends the walk, and no
// byte past the end is ever read.  Whether wTotalLength itself matches the
// bytes the device returned is for the caller to check before parsing.

#include <platform/platform.hpp>

extern "C" {
#include <usbdlib.h>
}

namespace {

// Pool tag of the requests built here; the caller frees them with ExFreePool.
constexpr ULONG kUsbdTag = platform::MakeTag("USBD");

// Finds the first descriptor of `type` (or of any type when `type` is -1) at
// or after `start`, within [base, base + total).
PUSB_COMMON_DESCRIPTOR FindDescriptor(const UCHAR *base, size_t total, const UCHAR *start, LONG type,
                                      size_t minimumLength)
{
    const UCHAR *end = base + total;
    if (start < base || start >= end)
        return nullptr;
    for (const UCHAR *p = start; size_t(end - p) >= sizeof(USB_COMMON_DESCRIPTOR);) {
        auto d = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(p);
        if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > size_t(end - p))
            return nullptr;  // malformed: the rest cannot be trusted
        if ((type == -1 || d->bDescriptorType == type) && d->bLength >= minimumLength)
            return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
        p += d->bLength;
    }
    return nullptr;
}

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == LONG(actual); }

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType)
{
    if (!DescriptorBuffer || !StartPosition)
        return nullptr;
    return FindDescriptor(static_cast<const UCHAR *>(DescriptorBuffer), TotalLength,
                          static_cast<const UCHAR *>(StartPosition), DescriptorType, sizeof(USB_COMMON_DESCRIPTOR));
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                    PVOID StartPosition, LONG InterfaceNumber,
                                                                    LONG AlternateSetting, LONG InterfaceClass,
                                                                    LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (!ConfigurationDescriptor || !StartPosition)
        return nullptr;
    auto base = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
    size_t total = ConfigurationDescriptor->wTotalLength;
    auto p = static_cast<const UCHAR *>(StartPosition);
    // Interface descriptors too short to hold their fields are passed over.
    while (auto d = FindDescriptor(base, total, p, USB_INTERFACE_DESCRIPTOR_TYPE, sizeof(USB_INTERFACE_DESCRIPTOR))) {
        auto i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (Matches(InterfaceNumber, i->bInterfaceNumber) && Matches(AlternateSetting, i->bAlternateSetting) &&
            Matches(InterfaceClass, i->bInterfaceClass) && Matches(InterfaceSubClass, i->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, i->bInterfaceProtocol))
            return i;
        p = reinterpret_cast<const UCHAR *>(d) + d->bLength;
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (!ConfigurationDescriptor || !InterfaceList)
        return nullptr;

    // One interface record per list entry, each with room for its pipes.
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry)
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION))
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    // The request's length is a 16-bit field; a configuration that needs
    // more cannot be described.
    if (size > MAXUSHORT)
        return nullptr;

    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (!urb)
        return nullptr;
    RtlZeroMemory(urb, size);

    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
        info->Length = USHORT(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG k = 0; k < d->bNumEndpoints; ++k) {
            info->Pipes[k].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[k].PipeFlags = 0;
        }
        entry->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR *>(info) + info->Length);
    }

    urb->UrbHeader.Length = USHORT(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz)
{
    if (Siz)
        *Siz = 0;
    if (!ConfigurationDescriptor)
        return nullptr;
    // The old routine configures the first interface the descriptor lists.
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
    if (!list[0].InterfaceDescriptor)
        return nullptr;
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb && Siz)
        *Siz = urb->UrbHeader.Length;
    return urb;
}

}  // extern "C"
