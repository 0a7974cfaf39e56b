// pe_reader_test.cpp - the image readers on objdump's own output.
//
// The samples are what i686-w64-mingw32-objdump 2.40 prints for a driver
// linked the way cross/ links norva.sys.
#include "pe_reader.hpp"

#include <gtest/gtest.h>

namespace {

using namespace target;

constexpr const char *kPrivateHeaders = R"(
x.sys:     file format pei-i386

Characteristics 0x2306
	executable
	DLL

Magic			010b	(PE32)
ImageBase		63040000
AddressOfEntryPoint	00003000
CheckSum		00008563
Subsystem		00000001	(NT native)
DllCharacteristics	00000140

The Data Directory
Entry 0 00004000 00000074 Export Directory [.edata (or where ever we found it)]
Entry 5 00009000 00000038 Base Relocation Directory [.reloc]

There is an import table in .idata at 0x63048000

The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
                 Table   Stamp     Chain    Name      Thunk
 00008000	0000803c 00000000 00000000 000080ac 00008054

	DLL Name: HAL.dll
	vma:  Hint/Ord Member-Name Bound-To
	806c	   83  KeGetCurrentIrql

 00008014	00008044 00000000 00000000 000080c0 0000805c

	DLL Name: ntoskrnl.exe
	vma:  Hint/Ord Member-Name Bound-To
	8080	   64  DbgPrint
	808c	  698  IofCallDriver

 00008028	00000000 00000000 00000000 00000000 00000000

There is an export table in .edata at 0x63044000

The Export Tables (interpreted .edata section contents)

Export Flags 			0
Time/Date stamp 		6b170ef5
Major/Minor 			0/0
Name 				0000406a norva.dll
Ordinal Base 			1
Number in:
	Export Address Table 		0000000c
	[Name Pointer/Ordinal] Table	00000003
Table Addresses
	Export Address Table 		00004028
	Name Pointer Table 		00004058
	Ordinal Table 			00004064

Export Address Table -- Ordinal Base 1
	[   0] +base[   1] 1010 Export RVA
	[   4] +base[   5] 1020 Export RVA
	[  11] +base[  12] 1030 Export RVA

[Ordinal/Name Pointer] Table
	[   0] GetDebugLevel
	[   4] KickTx
	[  11] VendorRequest

PE File Base Relocations (interpreted .reloc section contents)

Virtual Address: 00001000 Chunk size 24 (0x18) Number of fixups 8
	reloc    0 offset   23 [1023] HIGHLOW
)";

TEST(ObjdumpReader, PrivateHeadersGiveTheImageFields) {
    auto h = ParsePrivateHeaders(kPrivateHeaders);
    EXPECT_EQ(h.magic, 0x010b);
    EXPECT_EQ(h.subsystem, 1);
    EXPECT_EQ(h.imageBase, 0x63040000u);
    EXPECT_EQ(h.entryPoint, 0x3000u);
    EXPECT_EQ(h.checkSum, 0x8563u);
    EXPECT_EQ(h.characteristics, 0x2306u);
    EXPECT_EQ(h.relocationSize, 0x38u);

    ASSERT_EQ(h.imports.size(), 2u);
    EXPECT_EQ(h.imports[0].dll, "HAL.dll");
    EXPECT_EQ(h.imports[0].functions, std::vector<std::string>{"KeGetCurrentIrql"});
    EXPECT_EQ(h.imports[1].dll, "ntoskrnl.exe");
    EXPECT_EQ(h.imports[1].functions, (std::vector<std::string>{"DbgPrint", "IofCallDriver"}));
}

TEST(ObjdumpReader, ExportNamesCarryTheirOrdinalsAndAddresses) {
    auto h = ParsePrivateHeaders(kPrivateHeaders);
    ASSERT_TRUE(h.exports.has_value());
    EXPECT_EQ(h.exports->module, "norva.dll");
    EXPECT_EQ(h.exports->ordinalBase, 1u);
    EXPECT_EQ(h.exports->addressCount, 12u);
    ASSERT_EQ(h.exports->entries.size(), 3u);
    EXPECT_EQ(h.exports->entries[0].name, "GetDebugLevel");
    EXPECT_EQ(h.exports->entries[0].ordinal, 1u);
    EXPECT_EQ(h.exports->entries[0].rva, 0x1010u);
    EXPECT_EQ(h.exports->entries[1].name, "KickTx");
    EXPECT_EQ(h.exports->entries[1].ordinal, 5u);
    EXPECT_EQ(h.exports->entries[2].name, "VendorRequest");
    EXPECT_EQ(h.exports->entries[2].ordinal, 12u);
    EXPECT_EQ(h.exports->entries[2].rva, 0x1030u);
}

TEST(ObjdumpReader, SectionsAndSymbolsMapRoutinesToSections) {
    auto sections = ParseSectionHeaders(R"(
Sections:
Idx Name          Size      VMA       LMA       File off  Algn
  0 .text         000000c0  6c6c1000  6c6c1000  00000400  2**2
                  CONTENTS, ALLOC, LOAD, READONLY, CODE
  1 PAGE          00000260  6c6c2000  6c6c2000  00000600  2**2
                  CONTENTS, ALLOC, LOAD, READONLY, CODE
)");
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[1].name, "PAGE");
    EXPECT_EQ(sections[1].vma, 0x6c6c2000u);
    EXPECT_EQ(sections[1].size, 0x260u);

    auto symbols = ParseSymbols(R"(
SYMBOL TABLE:
[  2](sec  2)(fl 0x00)(ty   20)(scl   2) (nx 1) 0x00000000 FilterAddDevice(_DRIVER_OBJECT*, _DEVICE_OBJECT*)@8
AUX tagndx 0 ttlsiz 0x0 lnnos 0 next 0
[  6](sec  1)(fl 0x00)(ty   20)(scl   3) (nx 0) 0x00000060 FilterCompletionRoutine(_DEVICE_OBJECT*, _IRP*, void*)@12
[  9](sec -1)(fl 0x00)(ty    0)(scl   2) (nx 0) 0x63040000 __image_base__
)");
    ASSERT_EQ(symbols.size(), 3u);
    EXPECT_EQ(symbols[0].routine, "FilterAddDevice");
    EXPECT_EQ(symbols[0].section, 2);
    EXPECT_TRUE(symbols[0].function);
    EXPECT_EQ(symbols[1].routine, "FilterCompletionRoutine");
    EXPECT_EQ(symbols[1].value, 0x60u);
    EXPECT_EQ(symbols[2].section, -1);
    EXPECT_FALSE(symbols[2].function);
}

TEST(ObjdumpReader, RoutineNamesDropDecorationAndCloneSuffixes) {
    EXPECT_EQ(RoutineName("DriverEntry@8"), "DriverEntry");
    EXPECT_EQ(RoutineName("FilterPass(_DEVICE_OBJECT*, _IRP*)@8"), "FilterPass");
    EXPECT_EQ(RoutineName("FDO_Pnp(_DEVICE_OBJECT*, _IRP*) [clone .constprop.0]"), "FDO_Pnp");
    EXPECT_EQ(RoutineName("CvtStart.part.0"), "CvtStart");
    EXPECT_EQ(RoutineName("ns::Helper(unsigned long)"), "Helper");
    EXPECT_EQ(RoutineName("DbgPrint"), "DbgPrint");
}

TEST(DefFileReader, ReadsLibraryAndOrdinals) {
    auto def = ParseDefFile(
        "; norva's exports\n"
        "LIBRARY norva.dll\n"
        "EXPORTS\n"
        "  GetDebugLevel=GetDebugLevel@4 @1\n"
        "  KickTx @5 ; by its own name\n"
        "  VendorRequest=VendorRequest@12 @ 12\n");
    EXPECT_EQ(def.library, "norva.dll");
    std::vector<ExportEntry> want = {{1, "GetDebugLevel"}, {5, "KickTx"}, {12, "VendorRequest"}};
    EXPECT_EQ(def.exports, want);
    EXPECT_TRUE(ParseDefFile("LIBRARY norva.dll\nEXPORTS\n").exports.empty());
}

}  // namespace
