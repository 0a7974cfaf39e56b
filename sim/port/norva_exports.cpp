// norva_exports.cpp - binding norva's exports by name and walking its ports.
#include "port/norva_exports.hpp"

#include "pnp/pnp.hpp"

#include <platform/platform.hpp>

#include <type_traits>

namespace world {

namespace {

// Every export with its slot, in ordinal order.
template <class Fn> void ForEachExport(Fn &&fn)
{
    fn("GetDebugLevel", &NorvaExports::GetDebugLevel);
    fn("GetEndPointCaps", &NorvaExports::GetEndPointCaps);
    fn("GetLinkName", &NorvaExports::GetLinkName);
    fn("GetNextPDO", &NorvaExports::GetNextPDO);
    fn("KickTx", &NorvaExports::KickTx);
    fn("RxThreadStart", &NorvaExports::RxThreadStart);
    fn("RxThreadStop", &NorvaExports::RxThreadStop);
    fn("SetRemoveCallback", &NorvaExports::SetRemoveCallback);
    fn("TransmitChar", &NorvaExports::TransmitChar);
    fn("TxThreadStart", &NorvaExports::TxThreadStart);
    fn("TxThreadStop", &NorvaExports::TxThreadStop);
    fn("VendorRequest", &NorvaExports::VendorRequest);
}

}  // namespace

NorvaExports NorvaExports::Bind(const DriverModule &norva)
{
    NorvaExports exports;
    ForEachExport([&](const char *name, auto member) {
        using F = std::remove_reference_t<decltype(exports.*member)>;
        exports.*member = norva.Export<F>(name);
    });
    return exports;
}

std::vector<std::string> NorvaExports::Missing() const
{
    std::vector<std::string> missing;
    ForEachExport([&](const char *name, auto member) {
        if (!(this->*member))
            missing.emplace_back(name);
    });
    return missing;
}

std::vector<PortHandle> FindPorts(const NorvaExports &norva)
{
    std::vector<PortHandle> ports;
    if (!norva.GetNextPDO)
        return ports;
    PDEVICE_OBJECT filter = nullptr;
    for (;;) {
        PDEVICE_OBJECT child = norva.GetNextPDO(&filter);
        if (!filter)
            break;
        for (const PortHandle &seen : ports) {
            if (seen.filter == filter) {
                platform::Violate("PORT_LOOKUP_LOOP", platform::FormatKernel(
                                      "GetNextPDO handed out filter device %p twice in one walk", filter));
                return ports;
            }
        }
        if (child == filter) {
            platform::Violate("PORT_LOOKUP_CHILD_AS_FILTER",
                              platform::FormatKernel("GetNextPDO returned its filter device %p as the child", filter));
            return ports;
        }
        ports.push_back({filter, child});
    }
    return ports;
}

}  // namespace world
