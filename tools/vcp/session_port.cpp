// session_port.cpp - the port side of a vcp session: the port model on
// norva's exports.
#include "session.hpp"

#include "pnp/pnp.hpp"
#include "port/port_model.hpp"

#include <platform/platform.hpp>

#include <stdexcept>

namespace vcp {

struct PortSession::Impl {
    world::NorvaExports exports;
    bool found = false;
    std::unique_ptr<world::PortModel> port;
    std::unique_ptr<bridge::PortModelPort> serial;
};

PortSession::PortSession(const world::DriverModule &norva, PDEVICE_OBJECT filter, PDEVICE_OBJECT child,
                         size_t receiveBuffer)
    : impl_(std::make_unique<Impl>())
{
    Impl &m = *impl_;
    m.exports = world::NorvaExports::Bind(norva);
    // The port VxD finds its converters by walking GetNextPDO.
    world::PortHandle handle{filter, child};
    for (const world::PortHandle &h : world::FindPorts(m.exports)) {
        if (h.filter == filter) {
            m.found = true;
            handle = h;
        }
    }
    if (!m.found && m.exports.GetNextPDO)
        throw std::runtime_error("GetNextPDO does not hand out the converter's filter device");
    // A reader that is late finds what a Linux serial port would have kept
    // for it (the tty layer buffers up to 640 KiB per port): by default
    // reception is held only once 768 KiB wait unread.
    world::PortModel::Options options;
    options.rxRingSize = receiveBuffer;
    m.port = std::make_unique<world::PortModel>(m.exports, handle, options);
    m.serial = std::make_unique<bridge::PortModelPort>(*m.port);
}

std::vector<PDEVICE_OBJECT> PortSession::GetNextPdoOrder(const world::DriverModule &norva)
{
    std::vector<PDEVICE_OBJECT> order;
    for (const world::PortHandle &h : world::FindPorts(world::NorvaExports::Bind(norva)))
        order.push_back(h.filter);
    return order;
}

PortSession::~PortSession()
{
    if (impl_->serial)
        impl_->serial->Cancel();
    impl_->serial.reset();
    impl_->port.reset();
}

bool PortSession::foundByGetNextPdo() const
{
    return impl_->found;
}

bool PortSession::removeRoutineRegistered() const
{
    return impl_->port->removeRoutineRegistered();
}

std::optional<ULONG> PortSession::variant() const
{
    return impl_->port->variant();
}

std::string PortSession::linkName()
{
    std::u16string link = impl_->port->LinkName();
    return platform::ToUtf8(reinterpret_cast<const WCHAR *>(link.c_str()));
}

std::vector<std::string> PortSession::missingExports() const
{
    return impl_->exports.Missing();
}

bridge::PortOutcome PortSession::Open()
{
    world::PortResult r = impl_->port->Open();
    return r.ok() ? bridge::PortOutcome::Ok() : bridge::PortOutcome::Failed(r.message);
}

bridge::PortOutcome PortSession::Close()
{
    world::PortResult r = impl_->port->Close();
    return r.ok() ? bridge::PortOutcome::Ok() : bridge::PortOutcome::Failed(r.message);
}

bool PortSession::isOpen() const
{
    return impl_->port && impl_->port->isOpen();
}

bool PortSession::isRemoved() const
{
    return impl_->port && impl_->port->isRemoved();
}

bridge::PortModelPort &PortSession::serial()
{
    return *impl_->serial;
}

PortCountersView PortSession::Counters() const
{
    world::PortCounters c = impl_->port->Counters();
    PortCountersView v;
    v.bytesWritten = c.bytesWritten;
    v.bytesOut = c.bytesOut;
    v.transfers = c.transfers;
    v.kicks = c.kicks + c.retryKicks;
    v.bytesIn = c.bytesIn;
    v.bytesRead = c.bytesRead;
    v.dataCalls = c.dataCalls;
    v.statusCalls = c.statusCalls;
    v.holds = c.holds;
    v.overrunBytes = c.overrunBytes;
    v.discardedBytes = c.discardedBytes;
    v.purgedIn = c.purgedIn;
    v.purgedOut = c.purgedOut;
    return v;
}

bool PortSession::receptionHeld() const
{
    return impl_->port->ReceptionHeld();
}

bool PortSession::Release()
{
    impl_->serial->Cancel();
    if (impl_->port->isRemoved()) {
        impl_->serial.reset();
        impl_->port.reset();
        return true;
    }
    // norva never called the remove routine: it may still call the port's
    // callbacks, so the port model stays where it is.
    (void)impl_->serial.release();
    (void)impl_->port.release();
    return false;
}

}  // namespace vcp
