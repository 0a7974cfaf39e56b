// json.hpp - a small streaming JSON writer for vcp's --json outputs and the
// figures `vcp bench` writes.
//
//   Json j;
//   j.Begin('{'); j.Key("pipes"); j.Begin('['); j.Value(3); j.End(); j.End();
//   std::string text = j.str();
#pragma once

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vcp {

class Json {
public:
    void Begin(char bracket)
    {
        Separate();
        out_ += bracket;
        stack_.push_back({bracket == '{' ? '}' : ']', true});
    }
    void End()
    {
        Frame f = stack_.back();
        stack_.pop_back();
        if (!f.first) {
            out_ += '\n';
            Indent();
        }
        out_ += f.close;
    }
    void Key(std::string_view key)
    {
        Separate();
        Quote(key);
        out_ += ": ";
        afterKey_ = true;
    }
    void Value(std::string_view s)
    {
        Separate();
        Quote(s);
    }
    void Value(const char *s) { Value(std::string_view(s)); }
    void Value(const std::string &s) { Value(std::string_view(s)); }
    void Value(bool b)
    {
        Separate();
        out_ += b ? "true" : "false";
    }
    template <class T> void Value(T n) requires std::is_integral_v<T>
    {
        Separate();
        out_ += fmt::format("{}", n);
    }
    // Six significant digits; a figure that is not a number is written null.
    void Value(double x)
    {
        Separate();
        out_ += std::isfinite(x) ? fmt::format("{:.6g}", x) : "null";
    }
    void Null()
    {
        Separate();
        out_ += "null";
    }
    template <class T> void Field(std::string_view key, const T &v)
    {
        Key(key);
        Value(v);
    }
    const std::string &str() const { return out_; }

private:
    struct Frame {
        char close;
        bool first;
    };
    void Indent() { out_.append(stack_.size() * 2, ' '); }
    void Separate()
    {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (stack_.empty())
            return;
        if (!stack_.back().first)
            out_ += ',';
        stack_.back().first = false;
        out_ += '\n';
        Indent();
    }
    void Quote(std::string_view s)
    {
        out_ += '"';
        for (unsigned char c : s) {
            switch (c) {
            case '"': out_ += "\\\""; break;
            case '\\': out_ += "\\\\"; break;
            case '\n': out_ += "\\n"; break;
            case '\r': out_ += "\\r"; break;
            case '\t': out_ += "\\t"; break;
            default:
                if (c < 0x20)
                    out_ += fmt::format("\\u{:04x}", c);
                else
                    out_ += char(c);
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<Frame> stack_;
    bool afterKey_ = false;
};

}  // namespace vcp
