// command_log.cpp - the JSON summary of a session.
#include "command_log.hpp"
#include "json.hpp"

#include <fstream>
#include <stdexcept>

namespace vcp {

void CommandLog::Gather(const WorldSession &world, size_t index)
{
    variant = world.variant(index);
    commands = world.Commands(index);
    commandsLeftOut = world.commandsLeftOut(index);
    converter = world.Converter(index);
}

void CommandLog::Write(const std::string &path, const std::string &leaks) const
{
    Json j;
    j.Begin('{');
    j.Field("variant", variant);
    j.Key("commands");
    j.Begin('[');
    for (const ConverterCommand &c : commands) {
        j.Begin('{');
        j.Field("bytes", HexBytes(c.bytes));
        j.Field("kind", c.kind);
        j.Field("meaning", c.text);
        j.Field("stalled", c.stalled);
        j.End();
    }
    j.End();
    j.Field("commandsLeftOut", commandsLeftOut);
    j.Key("converter");
    j.Begin('{');
    j.Field("settings", ToString(converter.settings));
    j.Field("rts", converter.rts);
    j.Field("dtr", converter.dtr);
    j.Field("lineSettingCommands", converter.lineSettingCommands);
    j.Field("modemControlCommands", converter.modemControlCommands);
    j.Field("rejectedCommands", converter.rejectedCommands);
    j.Field("bytesFromHost", converter.bytesFromHost);
    j.Field("bytesToHost", converter.bytesToHost);
    j.Field("rxLostBytes", converter.rxLostBytes);
    j.End();
    j.Key("counters");
    j.Begin('{');
    for (const auto &[name, value] : counters)
        j.Field(name, value);
    j.End();
    j.Key("loss");
    j.Begin('{');
    for (const auto &[name, value] : losses.Fields())
        j.Field(name, value);
    j.End();
    j.Field("kernelClean", leaks.empty());
    j.Field("leaks", leaks);
    j.End();
    std::ofstream out(path);
    out << j.str() << '\n';
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

}  // namespace vcp
