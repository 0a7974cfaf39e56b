// norva_test.hpp - the common ground of norva's tests: the module loaded on
// the host kernel, converters stood in for by scripted PDOs, and readers for
// the gated debug log.
#pragma once

#include <fixture.hpp>
#include <scripted_device.hpp>
#include <pnp/pnp.hpp>

#define NORVA_UNIT "test"
#include "../../norva/norva.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace norva_test {

using testing_support::Answer;
using testing_support::CompleteFrom;
using testing_support::RecordedRequest;
using testing_support::ScriptedDevice;
using testing_support::ScriptedDriver;

inline const GUID kGuidWdmVxd = {0x82ccc361, 0xc550, 0x11d4, {0x96, 0x1c, 0x00, 0x60, 0x67, 0x72, 0x8f, 0xa8}};

// ---------------------------------------------------------------------------
// The debug log as DbgPrint calls: a gated trace is a prefix call
// "unit(line):" followed by the message call.

struct Trace {
    std::string unit;     // empty for an ungated line
    std::string message;
};

inline std::vector<Trace> Traces()
{
    static const std::regex prefix(R"(^([A-Za-z0-9_-]+)\(\d+\):$)");
    std::vector<std::string> calls = platform::DebugCalls();
    std::vector<Trace> out;
    for (size_t i = 0; i < calls.size(); ++i) {
        std::smatch m;
        if (std::regex_match(calls[i], m, prefix) && i + 1 < calls.size()) {
            out.push_back({m[1].str(), calls[i + 1]});
            ++i;
        } else {
            out.push_back({"", calls[i]});
        }
    }
    return out;
}

inline size_t CountTrace(const std::string &unit, const std::string &message)
{
    size_t n = 0;
    for (const Trace &t : Traces())
        n += t.unit == unit && t.message == message;
    return n;
}
inline bool HasTrace(const std::string &unit, const std::string &message) { return CountTrace(unit, message) > 0; }
inline bool HasUngated(const std::string &message) { return CountTrace("", message) > 0; }
inline size_t GatedCount()
{
    size_t n = 0;
    for (const Trace &t : Traces())
        n += !t.unit.empty();
    return n;
}
inline std::string DescribeTraces()
{
    std::string s;
    for (const Trace &t : Traces())
        s += (t.unit.empty() ? std::string("  ") : "  " + t.unit + ": ") + t.message + "\n";
    return s;
}

// ---------------------------------------------------------------------------
// The fixture: norva loaded, scripted converters, filter devices added by
// calling norva's AddDevice as the PnP manager does.

class NorvaTest : public testing_support::KernelTest {
protected:
    void SetUp() override
    {
        std::string error;
        norva_ = world::DriverModule::Load(NORVA_MODULE_PATH, u"norva", &error);
        ASSERT_TRUE(norva_) << error;
    }

    void TearDown() override
    {
        platform::ClearAllocationFaults();
        ReleaseReported();
        RemoveAllFilters();
        if (norva_) {
            EXPECT_TRUE(norva_->Unload());
        }
    }

    PDRIVER_OBJECT driver() const { return norva_->driver(); }
    world::DriverModule &module() { return *norva_; }

    // A converter's PDO (the device below the filter), with a device node.
    ScriptedDevice &NewPdo(ULONG flags = DO_DIRECT_IO | DO_POWER_PAGABLE)
    {
        std::u16string path = u"USB\\VID_0000&PID_0001\\" + platform::ToU16(std::to_string(++pdoCount_));
        testing_support::DeviceOptions options;
        options.type = FILE_DEVICE_UNKNOWN;
        options.flags = flags;
        return lowerDriver_.CreatePdo(path, options);
    }

    NTSTATUS AddDevice(PDEVICE_OBJECT pdo) { return driver()->DriverExtension->AddDevice(driver(), pdo); }

    // Adds the filter and returns it (the top of the PDO's stack).
    PDEVICE_OBJECT AddFilter(ScriptedDevice &pdo)
    {
        NTSTATUS status = AddDevice(pdo.device());
        EXPECT_EQ(status, STATUS_SUCCESS);
        return NT_SUCCESS(status) ? pdo.device()->AttachedDevice : nullptr;
    }

    static FilterExtension *Ext(PDEVICE_OBJECT filter)
    {
        return static_cast<FilterExtension *>(filter->DeviceExtension);
    }

    // Takes a filter device down as its removal does: interface off, detach,
    // delete.
    static void RemoveFilter(PDEVICE_OBJECT filter)
    {
        FilterExtension *ext = Ext(filter);
        if (ext->interfaceName.Buffer) {
            IoSetDeviceInterfaceState(&ext->interfaceName, FALSE);
            RtlFreeUnicodeString(&ext->interfaceName);
        }
        IoDetachDevice(ext->nextLowerDriver);
        IoDeleteDevice(filter);
    }

    // Removes every device norva has left as the PnP manager would: each
    // filter gets IRP_MN_REMOVE_DEVICE (which takes its child along); a child
    // whose filter a test took away by hand is deleted directly.
    void RemoveAllFilters()
    {
        if (!norva_ || !norva_->loaded())
            return;
        while (PDEVICE_OBJECT device = driver()->DeviceObject) {
            auto *common = static_cast<CommonExtension *>(device->DeviceExtension);
            if (common->isFdo) {
                Pnp(device, IRP_MN_REMOVE_DEVICE);
                continue;
            }
            auto *child = static_cast<PdoExtension *>(device->DeviceExtension);
            if (child->removed) {
                // The PnP manager removes children before their parent: a
                // child that has had its surprise removal gets its removal.
                Pnp(device, IRP_MN_REMOVE_DEVICE);
                continue;
            }
            if (child->ownerFdo) {
                // Its filter comes later in the list and takes it along.
                PDEVICE_OBJECT owner = child->ownerFdo;
                Pnp(owner, IRP_MN_REMOVE_DEVICE);
                continue;
            }
            IoDeleteDevice(device);
        }
    }

    // Sends a read to a device and waits for its final status.
    static NTSTATUS Read(PDEVICE_OBJECT device, std::vector<uint8_t> &buffer, LONGLONG offset,
                         PFILE_OBJECT file, ULONG_PTR *information = nullptr)
    {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        LARGE_INTEGER at;
        at.QuadPart = offset;
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer.data(), ULONG(buffer.size()), &at,
                                                &event, &iosb);
        if (!irp)
            return STATUS_INSUFFICIENT_RESOURCES;
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        NTSTATUS status = platform::CallAndWait(device, irp, &event, &iosb);
        if (information)
            *information = iosb.Information;
        return status;
    }

    // Sends a PnP or power request to the top of target's stack as the PnP
    // manager does and waits for it.
    static world::PnpResult Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                                 const std::function<void(PIO_STACK_LOCATION)> &prepare = {},
                                 ULONG_PTR information = 0)
    {
        return world::SendRequest(target, major, minor, prepare, information);
    }
    static world::PnpResult Pnp(PDEVICE_OBJECT target, UCHAR minor,
                                const std::function<void(PIO_STACK_LOCATION)> &prepare = {},
                                ULONG_PTR information = 0)
    {
        return Send(target, IRP_MJ_PNP, minor, prepare, information);
    }

    // A bus-relations query as the PnP manager sends it; the PDOs reported,
    // with the list freed and the references the report handed over kept
    // until ReleaseReported.
    std::vector<PDEVICE_OBJECT> QueryBusRelations(PDEVICE_OBJECT filter, world::PnpResult *result = nullptr,
                                                  PDEVICE_RELATIONS fromAbove = nullptr)
    {
        world::PnpResult r = Pnp(
            filter, IRP_MN_QUERY_DEVICE_RELATIONS,
            [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
            ULONG_PTR(fromAbove));
        if (result)
            *result = r;
        std::vector<PDEVICE_OBJECT> reported;
        if (NT_SUCCESS(r.status) && r.information) {
            auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
            reported.assign(relations->Objects, relations->Objects + relations->Count);
            ExFreePool(relations);
            for (PDEVICE_OBJECT d : reported)
                if (d != nullptr && d->DriverObject == driver())
                    heldReferences_.push_back(d);
        }
        return reported;
    }
    void ReleaseReported()
    {
        for (PDEVICE_OBJECT d : heldReferences_)
            ObDereferenceObject(d);
        heldReferences_.clear();
    }

    ScriptedDriver lowerDriver_{u"\\Driver\\usbhub"};
    std::vector<PDEVICE_OBJECT> heldReferences_;
    std::unique_ptr<world::DriverModule> norva_;
    int pdoCount_ = 0;
};

inline std::string Utf8(const UNICODE_STRING &s) { return s.Buffer ? platform::ToUtf8(s) : std::string(); }

// Answers pipe creates and closes as the converter's driver does: a pipe is
// open once at a time (a second create of it is refused), FsContext is set
// at create and cleared at close.  Reads and writes pend unless `others`
// says otherwise; everything else succeeds.
class PipeScript {
public:
    explicit PipeScript(ScriptedDevice &device, std::function<Answer(const RecordedRequest &)> others = {})
    {
        auto state = state_;
        device.SetScript([state, others](const RecordedRequest &r) {
            std::lock_guard lock(state->mutex);
            if (r.major == IRP_MJ_CREATE) {
                if (!state->open.insert(r.fileName).second)
                    return Answer::Complete(STATUS_INVALID_HANDLE);
                return Answer::Complete().With([](PIRP, PIO_STACK_LOCATION sp) {
                    sp->FileObject->FsContext = sp->FileObject;
                });
            }
            if (r.major == IRP_MJ_CLOSE) {
                state->open.erase(r.fileName);
                return Answer::Complete().With([](PIRP, PIO_STACK_LOCATION sp) { sp->FileObject->FsContext = nullptr; });
            }
            if (others)
                return others(r);
            if (r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE)
                return Answer::Pend();
            Answer done = Answer::Complete();
            done.information.reset();  // what a driver above put there stays (relations lists)
            return done;
        });
    }
    // Marks a pipe as opened by someone else.
    void Hold(const std::string &name)
    {
        std::lock_guard lock(state_->mutex);
        state_->open.insert(name);
    }
    void Release(const std::string &name)
    {
        std::lock_guard lock(state_->mutex);
        state_->open.erase(name);
    }
    std::set<std::string> Open() const
    {
        std::lock_guard lock(state_->mutex);
        return state_->open;
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::set<std::string> open;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The port driver's side of the exports, bound by name as the port VxD binds them.
struct Exports {
    explicit Exports(world::DriverModule &m)
        : GetDebugLevel(m.Export<decltype(&::GetDebugLevel)>("GetDebugLevel")),
          GetEndPointCaps(m.Export<decltype(&::GetEndPointCaps)>("GetEndPointCaps")),
          GetLinkName(m.Export<decltype(&::GetLinkName)>("GetLinkName")),
          GetNextPDO(m.Export<decltype(&::GetNextPDO)>("GetNextPDO")),
          KickTx(m.Export<decltype(&::KickTx)>("KickTx")),
          RxThreadStart(m.Export<decltype(&::RxThreadStart)>("RxThreadStart")),
          RxThreadStop(m.Export<decltype(&::RxThreadStop)>("RxThreadStop")),
          TransmitChar(m.Export<decltype(&::TransmitChar)>("TransmitChar")),
          TxThreadStart(m.Export<decltype(&::TxThreadStart)>("TxThreadStart")),
          TxThreadStop(m.Export<decltype(&::TxThreadStop)>("TxThreadStop")),
          SetRemoveCallback(m.Export<decltype(&::SetRemoveCallback)>("SetRemoveCallback")),
          VendorRequest(m.Export<decltype(&::VendorRequest)>("VendorRequest"))
    {
    }
    decltype(&::GetDebugLevel) GetDebugLevel;
    decltype(&::GetEndPointCaps) GetEndPointCaps;
    decltype(&::GetLinkName) GetLinkName;
    decltype(&::GetNextPDO) GetNextPDO;
    decltype(&::KickTx) KickTx;
    decltype(&::RxThreadStart) RxThreadStart;
    decltype(&::RxThreadStop) RxThreadStop;
    decltype(&::TransmitChar) TransmitChar;
    decltype(&::TxThreadStart) TxThreadStart;
    decltype(&::TxThreadStop) TxThreadStop;
    decltype(&::SetRemoveCallback) SetRemoveCallback;
    decltype(&::VendorRequest) VendorRequest;
};

}  // namespace norva_test
