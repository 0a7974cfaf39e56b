// pe_reader.cpp - objdump runner and parsers for the target build's images.
#include "pe_reader.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace target {
namespace {

constexpr const char *kObjdump = "i686-w64-mingw32-objdump";

std::string Quote(const std::string &arg) {
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos)
            end = text.size();
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string> Words(std::string_view line) {
    std::istringstream in{std::string(line)};
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::optional<uint32_t> Hex(const std::string &s) {
    if (s.empty() || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    return static_cast<uint32_t>(std::stoul(s, nullptr, 16));
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

uint16_t Le16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Offset of the PE signature, or 0 when the bytes are not an MZ/PE image.
size_t PeHeader(const std::vector<uint8_t> &b) {
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z')
        return 0;
    size_t pe = Le32(b, 0x3C);
    if (pe + 24 > b.size() || b[pe] != 'P' || b[pe + 1] != 'E' || b[pe + 2] || b[pe + 3])
        return 0;
    return pe;
}

// "[  1] GetDebugLevel" or "[  0] +base[  1] 1010 Export RVA": the number in
// the first brackets and what follows.
std::optional<std::pair<uint32_t, std::string>> Bracketed(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    size_t close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    std::string number(Trim(line.substr(1, close - 1)));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::pair{static_cast<uint32_t>(std::stoul(number)), std::string(Trim(line.substr(close + 1)))};
}

}  // namespace

std::string ImagePath(std::string_view driver) {
    return std::string(TARGET_BUILD_DIR) + "/" + std::string(driver) + ".sys";
}

ToolRun RunObjdump(const std::vector<std::string> &args) {
    std::string command = kObjdump;
    for (const auto &arg : args)
        command += " " + Quote(arg);
    command += " 2>&1";
    ToolRun run;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        run.output = "cannot run " + command;
        return run;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

PrivateHeaders ParsePrivateHeaders(std::string_view text) {
    PrivateHeaders headers;
    enum class Part { Headers, Imports, Exports, ExportAddresses, ExportNames, Other };
    Part part = Part::Headers;
    Import *dll = nullptr;
    bool countsNext = false;
    struct Slot {
        uint32_t index, ordinal, rva;
    };
    std::vector<Slot> slots;  // export address table
    std::vector<std::pair<uint32_t, std::string>> names;  // name table: index -> name

    for (std::string_view raw : Lines(text)) {
        std::string_view line = Trim(raw);
        auto words = Words(line);

        if (StartsWith(line, "The Import Tables")) {
            part = Part::Imports;
            continue;
        }
        if (StartsWith(line, "The Export Tables")) {
            part = Part::Exports;
            headers.exports.emplace();
            continue;
        }
        if (StartsWith(line, "The Function Table") || StartsWith(line, "PE File Base Relocations") ||
            StartsWith(line, "The .rsrc Resource") || StartsWith(line, "The Debug Directory")) {
            part = Part::Other;
            continue;
        }

        switch (part) {
        case Part::Headers:
            if (words.size() >= 2 && words[0] == "Characteristics")
                headers.characteristics = static_cast<uint32_t>(std::stoul(words[1], nullptr, 16));
            else if (words.size() >= 2 && words[0] == "Magic")
                headers.magic = static_cast<uint16_t>(Hex(words[1]).value_or(0));
            else if (words.size() >= 2 && words[0] == "Subsystem")
                headers.subsystem = static_cast<uint16_t>(Hex(words[1]).value_or(0xFFFF));
            else if (words.size() >= 2 && words[0] == "ImageBase")
                headers.imageBase = Hex(words[1]);
            else if (words.size() >= 2 && words[0] == "AddressOfEntryPoint")
                headers.entryPoint = Hex(words[1]);
            else if (words.size() >= 2 && words[0] == "CheckSum")
                headers.checkSum = Hex(words[1]);
            else if (words.size() >= 4 && words[0] == "Entry" && words[1] == "5")
                headers.relocationSize = Hex(words[3]).value_or(0);
            break;
        case Part::Imports:
            if (StartsWith(line, "DLL Name:")) {
                headers.imports.push_back({std::string(Trim(line.substr(9))), {}});
                dll = &headers.imports.back();
            } else if (line.empty()) {
                dll = nullptr;
            } else if (dll && words.size() >= 3 && Hex(words[0])) {
                dll->functions.push_back(words[2]);
            }
            break;
        case Part::Exports:
            if (words.size() >= 3 && words[0] == "Name" && Hex(words[1]))
                headers.exports->module = words[2];
            else if (words.size() >= 3 && words[0] == "Ordinal" && words[1] == "Base")
                headers.exports->ordinalBase = static_cast<uint32_t>(std::stoul(words[2]));
            else if (line == "Number in:")
                countsNext = true;
            else if (countsNext && StartsWith(line, "Export Address Table")) {
                headers.exports->addressCount = Hex(words.back()).value_or(0);
                countsNext = false;
            } else if (StartsWith(line, "Export Address Table --"))
                part = Part::ExportAddresses;
            else if (StartsWith(line, "[Ordinal/Name Pointer] Table"))
                part = Part::ExportNames;
            break;
        case Part::ExportAddresses:
            if (StartsWith(line, "[Ordinal/Name Pointer] Table")) {
                part = Part::ExportNames;
            } else if (auto entry = Bracketed(line)) {
                // "+base[   1] 1010 Export RVA"
                static const std::regex base(R"(\+base\[\s*(\d+)\]\s+([0-9a-fA-F]+))");
                std::smatch m;
                if (std::regex_search(entry->second, m, base))
                    slots.push_back({entry->first, static_cast<uint32_t>(std::stoul(m[1])),
                                     static_cast<uint32_t>(std::stoul(m[2], nullptr, 16))});
            }
            break;
        case Part::ExportNames:
            if (auto entry = Bracketed(line))
                names.emplace_back(entry->first, entry->second);
            else if (line.empty() && !names.empty())
                part = Part::Other;
            break;
        case Part::Other:
            break;
        }
    }

    if (headers.exports) {
        // The name table prints each name with its index into the export
        // address table; the address table gives that slot's ordinal.
        for (const auto &[index, name] : names) {
            Export entry{headers.exports->ordinalBase + index, name, std::nullopt};
            for (const auto &slot : slots) {
                if (slot.index == index) {
                    entry.ordinal = slot.ordinal;
                    entry.rva = slot.rva;
                }
            }
            headers.exports->entries.push_back(std::move(entry));
        }
    }
    return headers;
}

std::vector<Section> ParseSectionHeaders(std::string_view text) {
    std::vector<Section> sections;
    for (std::string_view line : Lines(text)) {
        auto words = Words(line);
        if (words.size() < 6 || words[0].find_first_not_of("0123456789") != std::string::npos)
            continue;
        auto size = Hex(words[2]);
        auto vma = Hex(words[3]);
        if (!size || !vma)
            continue;
        sections.push_back({words[1], *vma, *size, 0});
    }
    return sections;
}

std::vector<Symbol> ParseSymbols(std::string_view text) {
    static const std::regex entry(
        R"(^\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl 0x[0-9a-fA-F]+\)\(ty\s+([0-9a-fA-F]+)\)\(scl\s+\d+\) \(nx \d+\) 0x([0-9a-fA-F]+) (.*)$)");
    std::vector<Symbol> symbols;
    for (std::string_view raw : Lines(text)) {
        std::string line(Trim(raw));
        std::smatch m;
        if (!std::regex_match(line, m, entry))
            continue;
        Symbol symbol;
        symbol.section = std::stoi(m[1]);
        symbol.function = (std::stoul(m[2], nullptr, 16) & 0x30) == 0x20;  // DT_FCN << 4
        symbol.value = static_cast<uint32_t>(std::stoul(m[3], nullptr, 16));
        symbol.demangled = m[4];
        symbol.routine = RoutineName(symbol.demangled);
        symbols.push_back(std::move(symbol));
    }
    return symbols;
}

std::string RoutineName(std::string_view name) {
    // Cut the argument list, a clone suffix, a stdcall suffix.
    size_t cut = name.find('(');
    if (cut == std::string_view::npos)
        cut = name.find(" [clone");
    name = name.substr(0, cut);
    name = name.substr(0, name.find('@'));
    // A C routine's clone: "Name.part.0".
    if (size_t dot = name.find('.'); dot != std::string_view::npos && dot > 0)
        name = name.substr(0, dot);
    name = name.substr(0, name.find('<'));
    // A return type (templates) or a qualifier.
    if (size_t space = name.rfind(' '); space != std::string_view::npos)
        name = name.substr(space + 1);
    if (size_t scope = name.rfind("::"); scope != std::string_view::npos)
        name = name.substr(scope + 2);
    return std::string(name);
}

DefFile ParseDefFile(std::string_view text) {
    DefFile def;
    bool exports = false;
    for (std::string_view raw : Lines(text)) {
        std::string_view line = Trim(raw.substr(0, raw.find(';')));
        auto words = Words(line);
        if (words.empty())
            continue;
        if (words[0] == "LIBRARY" || words[0] == "NAME") {
            exports = false;
            if (words.size() >= 2) {
                std::string name = words[1];
                if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
                    name = name.substr(1, name.size() - 2);
                def.library = name;
            }
            continue;
        }
        if (words[0] == "EXPORTS") {
            exports = true;
            words.erase(words.begin());
            if (words.empty())
                continue;
        } else if (words[0] == "IMPORTS" || words[0] == "SECTIONS" || words[0] == "DESCRIPTION" ||
                   words[0] == "STACKSIZE" || words[0] == "HEAPSIZE" || words[0] == "VERSION") {
            exports = false;
            continue;
        }
        if (!exports)
            continue;
        ExportEntry entry;
        entry.name = words[0].substr(0, words[0].find('='));
        for (size_t i = 1; i < words.size(); ++i) {
            if (words[i].size() > 1 && words[i][0] == '@')
                entry.ordinal = static_cast<uint32_t>(std::stoul(words[i].substr(1)));
            else if (words[i] == "@" && i + 1 < words.size())
                entry.ordinal = static_cast<uint32_t>(std::stoul(words[++i]));
        }
        def.exports.push_back(entry);
    }
    return def;
}

uint32_t PeChecksum(const std::vector<uint8_t> &image) {
    size_t pe = PeHeader(image);
    size_t field = pe + 24 + 64;
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        if (pe && i >= field && i < field + 4)
            word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

DriverImage DriverImage::Read(std::string_view driver) {
    DriverImage image;
    image.path_ = ImagePath(driver);

    std::ifstream in(image.path_, std::ios::binary);
    if (!in) {
        image.error_ = image.path_ + " does not exist: the target build makes it (make target)";
        return image;
    }
    image.bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    auto run = [&](const std::vector<std::string> &args) -> std::optional<std::string> {
        auto result = RunObjdump(args);
        if (result.status != 0) {
            image.error_ = std::string(kObjdump) + " failed on " + image.path_ + ":\n" + result.output;
            return std::nullopt;
        }
        return result.output;
    };
    auto privateHeaders = run({"-p", image.path_});
    if (!privateHeaders)
        return image;
    auto sectionHeaders = run({"-h", image.path_});
    if (!sectionHeaders)
        return image;
    auto symbols = run({"-t", "-C", image.path_});
    if (!symbols)
        return image;

    static const std::regex format(R"(file format (\S+))");
    std::smatch m;
    if (std::regex_search(*privateHeaders, m, format))
        image.format_ = m[1];
    image.headers_ = ParsePrivateHeaders(*privateHeaders);
    image.sections_ = ParseSectionHeaders(*sectionHeaders);
    image.symbols_ = ParseSymbols(*symbols);

    // Section characteristics, which objdump does not print for an image.
    const auto &b = image.bytes_;
    size_t pe = PeHeader(b);
    if (!pe) {
        image.error_ = image.path_ + " is not a PE image";
        return image;
    }
    size_t count = Le16(b, pe + 6);
    size_t table = pe + 24 + Le16(b, pe + 20);
    if (table + 40 * count > b.size() || count != image.sections_.size()) {
        image.error_ = image.path_ + ": section table does not match objdump -h";
        return image;
    }
    for (size_t i = 0; i < count; ++i) {
        size_t header = table + 40 * i;
        std::string name(reinterpret_cast<const char *>(&b[header]), 8);
        name = name.substr(0, name.find('\0'));
        if (name != image.sections_[i].name) {
            image.error_ = image.path_ + ": section " + std::to_string(i) + " is " + name +
                           " in the file, " + image.sections_[i].name + " in objdump -h";
            return image;
        }
        image.sections_[i].characteristics = Le32(b, header + 36);
    }
    return image;
}

const Section *DriverImage::FindSection(std::string_view name) const {
    for (const auto &section : sections_) {
        if (section.name == name)
            return &section;
    }
    return nullptr;
}

const Section *DriverImage::SectionOf(const Symbol &symbol) const {
    if (symbol.section < 1 || static_cast<size_t>(symbol.section) > sections_.size())
        return nullptr;
    return &sections_[symbol.section - 1];
}

const Symbol *DriverImage::FindSymbol(std::string_view demangled) const {
    for (const auto &symbol : symbols_) {
        if (symbol.demangled == demangled)
            return &symbol;
    }
    return nullptr;
}

std::vector<const Symbol *> DriverImage::Routines(std::string_view routine) const {
    std::vector<const Symbol *> found;
    for (const auto &symbol : symbols_) {
        if (symbol.function && symbol.section > 0 && symbol.routine == routine)
            found.push_back(&symbol);
    }
    return found;
}

std::optional<uint32_t> DriverImage::Rva(const Symbol &symbol) const {
    const Section *section = SectionOf(symbol);
    if (!section || !headers_.imageBase)
        return std::nullopt;
    return section->vma + symbol.value - *headers_.imageBase;
}

}  // namespace target
