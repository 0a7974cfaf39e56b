// placement.cpp - where norva's routines land in norva.sys.
//
// DriverEntry runs once and is discarded with INIT; AddDevice, PnP, power and
// unload run at PASSIVE_LEVEL and may be paged out; everything else can run at
// DISPATCH_LEVEL (completion routines, the receive and transmit engines, the
// exports) and must stay resident.  A routine named here that norva.sys does
// not contain fails its test: it has not been written yet or was renamed.
#include "pe_reader.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using target::DriverImage;

enum class Placement { Init, Page, Resident };

const char *Name(Placement p) {
    switch (p) {
    case Placement::Init:
        return "INIT";
    case Placement::Page:
        return "PAGE";
    case Placement::Resident:
        return "resident code";
    }
    return "?";
}

// Routines that run only at PASSIVE_LEVEL in the PnP manager's thread and
// may be pageable although they are not required to be.
const std::set<std::string> kMayBePageable = {"OsQueryDeviceRelations"};

class NorvaPlacement : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = DriverImage::Read("norva");
        ASSERT_EQ(image_.Error(), "");
    }

    Placement Of(const target::Symbol &symbol) const {
        const auto *section = image_.SectionOf(symbol);
        if (section && section->name == "INIT")
            return Placement::Init;
        if (section && section->name == "PAGE")
            return Placement::Page;
        return Placement::Resident;
    }

    void ExpectPlaced(std::initializer_list<const char *> routines, Placement want) const {
        for (const char *routine : routines) {
            auto symbols = image_.Routines(routine);
            if (symbols.empty()) {
                ADD_FAILURE() << "norva.sys has no routine " << routine;
                continue;
            }
            for (const auto *symbol : symbols) {
                const auto *section = image_.SectionOf(*symbol);
                EXPECT_EQ(Name(Of(*symbol)), std::string(Name(want)))
                    << symbol->demangled << " lies in " << (section ? section->name : "?");
            }
        }
    }

    DriverImage image_;
};

TEST_F(NorvaPlacement, DriverEntryIsInInit) {
    ExpectPlaced({"DriverEntry"}, Placement::Init);
}

TEST_F(NorvaPlacement, AddDevicePnpPowerAndUnloadArePageable) {
    ExpectPlaced({"FilterAddDevice", "FilterDispatchPnp", "FilterDispatchPower", "FilterUnload"},
                 Placement::Page);
}

TEST_F(NorvaPlacement, PassThroughAndCompletionRoutinesAreResident) {
    ExpectPlaced({"FilterPass", "FilterCompletionRoutine", "FilterCreateCloseCompletionRoutine",
                  "FilterReceiveDataCompletionRoutine", "FilterPollingLinesCompletionRoutine",
                  "FilterPollingWriteCompletionRoutine"},
                 Placement::Resident);
}

TEST_F(NorvaPlacement, ExportsAreResident) {
    ExpectPlaced({"GetDebugLevel", "GetEndPointCaps", "GetLinkName", "GetNextPDO", "KickTx",
                  "RxThreadStart", "RxThreadStop", "SetRemoveCallback", "TransmitChar",
                  "TxThreadStart", "TxThreadStop", "VendorRequest"},
                 Placement::Resident);
}

TEST_F(NorvaPlacement, NothingElseIsInInitOrPage) {
    const std::set<std::string> init = {"DriverEntry"};
    const std::set<std::string> page = {"FilterAddDevice", "FilterDispatchPnp", "FilterDispatchPower",
                                        "FilterUnload"};
    for (const auto &symbol : image_.Symbols()) {
        if (!symbol.function || symbol.section < 1)
            continue;
        switch (Of(symbol)) {
        case Placement::Init:
            if (!init.contains(symbol.routine))
                ADD_FAILURE() << symbol.demangled << " lies in INIT";
            break;
        case Placement::Page:
            if (!page.contains(symbol.routine) && !kMayBePageable.contains(symbol.routine))
                ADD_FAILURE() << symbol.demangled << " lies in PAGE but must stay resident";
            break;
        case Placement::Resident:
            break;
        }
    }
}

}  // namespace
