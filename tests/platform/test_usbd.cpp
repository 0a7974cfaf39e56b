// The USBD library: descriptor walks (also over lying descriptors) and
// select-configuration requests.
#include "fixture.hpp"

extern "C" {
#include <usbdlib.h>
}

#include <memory>

namespace {

// Descriptor bytes in a heap block of exactly their size, so that a read past
// the end is caught by the address sanitizer.
class Descriptors {
public:
    explicit Descriptors(std::initializer_list<uint8_t> bytes) : size_(bytes.size()), bytes_(new uint8_t[bytes.size()])
    {
        std::copy(bytes.begin(), bytes.end(), bytes_.get());
    }
    PUSB_CONFIGURATION_DESCRIPTOR Config() const
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes_.get());
    }
    uint8_t *At(size_t offset) const { return bytes_.get() + offset; }
    size_t Size() const { return size_; }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> bytes_;
};

#define CONFIG(total, interfaces) 9, 2, uint8_t(total), uint8_t((total) >> 8), interfaces, 1, 0, 0x80, 50
#define INTERFACE(number, alt, endpoints, cls, sub, proto) 9, 4, number, alt, endpoints, cls, sub, proto, 0
#define ENDPOINT(address, attributes, size) 7, 5, address, attributes, uint8_t(size), uint8_t((size) >> 8), 0

// A converter: one interface, bulk OUT, bulk IN, interrupt IN.
Descriptors Converter()
{
    return Descriptors{CONFIG(39, 1), INTERFACE(0, 0, 3, 0xFF, 0, 0), ENDPOINT(0x01, 2, 64), ENDPOINT(0x82, 2, 64),
                       ENDPOINT(0x83, 3, 8)};
}

// A composite device: interface 0 with two endpoints, interface 1 with two
// alternate settings of one endpoint each.
Descriptors Composite()
{
    return Descriptors{CONFIG(9 + 9 + 14 + 9 + 7 + 9 + 7, 2),
                       INTERFACE(0, 0, 2, 0xFF, 1, 2),
                       ENDPOINT(0x01, 2, 64),
                       ENDPOINT(0x81, 2, 64),
                       INTERFACE(1, 0, 1, 0x0A, 0, 0),
                       ENDPOINT(0x82, 3, 16),
                       INTERFACE(1, 1, 1, 0x0A, 0, 0),
                       ENDPOINT(0x82, 3, 64)};
}

std::vector<UCHAR> EndpointsAfter(const Descriptors &d, PVOID start)
{
    std::vector<UCHAR> addresses;
    auto config = d.Config();
    for (auto p = USBD_ParseDescriptors(config, config->wTotalLength, start, USB_ENDPOINT_DESCRIPTOR_TYPE); p;
         p = USBD_ParseDescriptors(config, config->wTotalLength, reinterpret_cast<UCHAR *>(p) + p->bLength,
                                   USB_ENDPOINT_DESCRIPTOR_TYPE))
        addresses.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(p)->bEndpointAddress);
    return addresses;
}

class UsbdParse : public testing_support::KernelTest {};
class UsbdConfigurationRequest : public testing_support::KernelTest {};

TEST_F(UsbdParse, FindsTheConverterInterfaceAndItsEndpoints)
{
    Descriptors d = Converter();
    auto config = d.Config();
    auto i = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(i), d.At(9));
    EXPECT_EQ(i->bNumEndpoints, 3);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 0xFF, 0, 0), i);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, 1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0A, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, d.At(18), -1, -1, -1, -1, -1), nullptr)
        << "the walk starts at StartPosition";
    EXPECT_EQ(EndpointsAfter(d, i), (std::vector<UCHAR>{0x01, 0x82, 0x83}));
}

TEST_F(UsbdParse, ParseDescriptorsFindsByTypeFromTheStartPosition)
{
    Descriptors d = Converter();
    auto config = d.Config();
    EXPECT_EQ(USBD_ParseDescriptors(config, 39, config, USB_CONFIGURATION_DESCRIPTOR_TYPE),
              reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(config));
    EXPECT_EQ(USBD_ParseDescriptors(config, 39, d.At(10), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr)
        << "a start inside a descriptor reads from there";
    EXPECT_EQ(USBD_ParseDescriptors(config, 39, config, USB_STRING_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(config, 39, d.At(39), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(config, 39, d.At(0) - 1, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdParse, CompositeDeviceInterfacesAndAlternateSettings)
{
    Descriptors d = Composite();
    auto config = d.Config();
    auto first = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(first), d.At(9));
    auto second = USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(second), d.At(32));
    auto alt = USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(alt), d.At(48));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0A, -1, -1), second);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, 1, 2), first);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t *>(second) + 9, 1, -1, -1, -1, -1),
              alt);
    EXPECT_EQ(EndpointsAfter(d, first), (std::vector<UCHAR>{0x01, 0x81, 0x82, 0x82}));
}

TEST_F(UsbdParse, ZeroOrOneByteLengthEndsTheWalk)
{
    for (uint8_t badLength : {0, 1}) {
        Descriptors d{CONFIG(9 + 2 + 9, 1), badLength, 0x24, INTERFACE(0, 0, 0, 0xFF, 0, 0)};
        auto config = d.Config();
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr);
        EXPECT_EQ(USBD_ParseDescriptors(config, config->wTotalLength, config, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
    }
}

TEST_F(UsbdParse, DescriptorRunningPastTheTotalLengthIsNotReturned)
{
    // The interface claims nine bytes, but only five are inside wTotalLength
    // (and inside the buffer).
    Descriptors cut{CONFIG(14, 1), 9, 4, 0, 0, 3};
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cut.Config(), cut.Config(), -1, -1, -1, -1, -1), nullptr);

    // The last endpoint runs past the end: the two before it are found.
    Descriptors shortEnd{CONFIG(9 + 9 + 7 + 7 + 4, 1), INTERFACE(0, 0, 3, 0xFF, 0, 0), ENDPOINT(0x01, 2, 64),
                         ENDPOINT(0x82, 2, 64), 7, 5, 0x83, 3};
    auto config = shortEnd.Config();
    auto i = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(EndpointsAfter(shortEnd, i), (std::vector<UCHAR>{0x01, 0x82}));
}

TEST_F(UsbdParse, TotalLengthBoundsTheWalkEvenWhenMoreBytesFollow)
{
    Descriptors d{CONFIG(9, 1), INTERFACE(0, 0, 0, 0xFF, 0, 0)};
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(d.Config(), d.Config(), -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParse, InterfaceDescriptorTooShortForItsFieldsIsPassedOver)
{
    Descriptors d{CONFIG(9 + 4 + 9, 2), 4, 4, 7, 0, INTERFACE(1, 0, 0, 0xFF, 0, 0)};
    auto i = USBD_ParseConfigurationDescriptorEx(d.Config(), d.Config(), -1, -1, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(i), d.At(13));
    EXPECT_EQ(i->bInterfaceNumber, 1);
}

TEST_F(UsbdConfigurationRequest, OldRoutineConfiguresTheFirstInterface)
{
    Descriptors d = Converter();
    USHORT size = 0xFFFF;
    PURB urb = USBD_CreateConfigurationRequest(d.Config(), &size);
    ASSERT_NE(urb, nullptr);
    size_t expected = sizeof(struct _URB_SELECT_CONFIGURATION) + 2 * sizeof(USBD_PIPE_INFORMATION);
    EXPECT_EQ(size, expected);
    EXPECT_EQ(urb->UrbHeader.Length, expected);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Status, 0);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, d.Config());
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    const USBD_INTERFACE_INFORMATION &info = urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(info.Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(info.InterfaceNumber, 0);
    EXPECT_EQ(info.AlternateSetting, 0);
    EXPECT_EQ(info.NumberOfPipes, 3u);
    for (ULONG k = 0; k < 3; ++k) {
        EXPECT_EQ(info.Pipes[k].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
        EXPECT_EQ(info.Pipes[k].PipeHandle, nullptr);
    }
    POOL_TYPE type;
    ASSERT_TRUE(platform::IsPoolBlock(urb, &type));
    EXPECT_EQ(type, NonPagedPool);
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequest, OldRoutineWithoutAnInterfaceGivesNothing)
{
    Descriptors d{CONFIG(9, 0)};
    USHORT size = 77;
    EXPECT_EQ(USBD_CreateConfigurationRequest(d.Config(), &size), nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(platform::PoolBlocksOutstanding(), 0u);
}

TEST_F(UsbdConfigurationRequest, ExLaysOutOneRecordPerListEntry)
{
    Descriptors d = Composite();
    auto config = d.Config();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1);
    ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);

    size_t expected = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                      GET_USBD_INTERFACE_SIZE(2) + GET_USBD_INTERFACE_SIZE(1);
    EXPECT_EQ(expected, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    EXPECT_EQ(urb->UrbHeader.Length, expected);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(list[1].Interface),
              reinterpret_cast<uint8_t *>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(list[2].Interface, nullptr);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequest, SizedForTheEndpointsClaimedNotThosePresent)
{
    // The interface claims five endpoints; only two descriptors follow.
    Descriptors d{CONFIG(9 + 9 + 14, 1), INTERFACE(0, 0, 5, 0xFF, 0, 0), ENDPOINT(0x01, 2, 64),
                  ENDPOINT(0x82, 2, 64)};
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(d.Config(), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, sizeof(struct _URB_SELECT_CONFIGURATION) + 4 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 5u);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Pipes[4].MaximumTransferSize,
              ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequest, FailedAllocationGivesNothing)
{
    Descriptors d = Converter();
    platform::FailAllocationNumber(1);
    USHORT size = 5;
    EXPECT_EQ(USBD_CreateConfigurationRequest(d.Config(), &size), nullptr);
    EXPECT_EQ(size, 0);
}

}  // namespace
